// What `orvik-updater.exe --help` and `--version` say: the windowed
// program's usage, with its Windows log place.
#pragma once

namespace orvik::win32 {

inline constexpr char kHelpText[] =
    "Usage: orvik-updater.exe [-AdvMode] [-Emulate[:UNIT[,UNIT]...]]\r\n"
    "       orvik-updater.exe --version | --help\r\n"
    "\r\n"
    "Updates the firmware of both controllers of the Solvane device (MCU and\r\n"
    "USB) from the image built into this program, in one window: press\r\n"
    "\"Update\". The dialog cannot be closed while an update runs.\r\n"
    "\r\n"
    "  -AdvMode          show the expert check boxes: \"MCU\" and \"USB\" choose\r\n"
    "                    the controllers (both on), \"Log\" writes every block\r\n"
    "                    and reply to the log (off)\r\n"
    "  -Emulate          update an emulated device instead of the real one\r\n"
    "  -Emulate:FAULT    ... that misbehaves: absent, or KIND@COMMAND[#N] with\r\n"
    "                    KIND nowrite, noreply, badreply, badecho (MCUWrite and\r\n"
    "                    USBWrite only) or unplug, and COMMAND StartUpdate,\r\n"
    "                    MCUErase, MCUWrite, MCUEnd, USBErase, USBWrite or USBEnd\r\n"
    "  -Emulate:UNIT,... several emulated devices; UNIT is good or FAULT, then\r\n"
    "                    /after=MS, /leave=MS, /pull=MS, /serial=TEXT and\r\n"
    "                    /port=TEXT\r\n"
    "  --version         show the program's version\r\n"
    "  --help            show this text\r\n"
    "\r\n"
    "The log, orvik-updater.log, is written beside orvik-updater.exe.\r\n"
    "orvik-updater-cli.exe does the same on a console (orvik-updater-cli.exe\r\n"
    "--help). One updater (windowed or a single update) runs at a time per\r\n"
    "session, and not beside a station; a second start ends at once.\r\n";

}  // namespace orvik::win32
