// What `orvik-updater.exe --help` and `--version` say: the windowed
// program's usage, with its Windows log place.
#pragma once

namespace orvik::win32 {

inline constexpr char kHelpText[] =
    "Usage: orvik-updater.exe [-AdvMode] [-Emulate[:UNIT[,UNIT]...]]\r\n"
    "       orvik-updater.exe --station[=COUNT] [--parallel=N] [--slots FILE]\r\n"
    "                         [--record FILE|URI [--skip-updated] [--station-name NAME]\r\n"
    "                         [--operator NAME]] [--log-dir DIR] [--locked]\r\n"
    "                         [-AdvMode] [-Emulate[:UNIT[,UNIT]...]]\r\n"
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
    "With --station, a flashing station's window instead of the dialog: a\r\n"
    "tile per slot (or per unit as it arrives) with its state, bar, elapsed\r\n"
    "time, PASS or FAIL with the failure's number and message, and counters;\r\n"
    "the title says \"ORVIK Station - N passed, M failed\". Every unit is\r\n"
    "updated as it arrives and taken again only after it was unplugged. The\r\n"
    "window cannot be closed, nor Windows logged off or shut down, while units\r\n"
    "are being updated. The options mean what they mean for\r\n"
    "orvik-updater-cli.exe --station:\r\n"
    "  --station[=COUNT]  stop once COUNT units had their turn (1 to 1000000)\r\n"
    "  --parallel=N       update at most N units at once (1 to 64, default 8)\r\n"
    "  --slots FILE       the fixture's slots: \"NAME PORT\" a line, a tile each\r\n"
    "  --record FILE|URI  record every unit's run (.jsonl, .csv)\r\n"
    "  --skip-updated     pass over units the record shows updated\r\n"
    "  --station-name NAME, --operator NAME   the record's station and operator\r\n"
    "  --log-dir DIR      each unit's log lines in DIR\\SERIAL.log\r\n"
    "  --locked           leave the operator Start and Stop only\r\n"
    "\r\n"
    "The log, orvik-updater.log, is written beside orvik-updater.exe.\r\n"
    "orvik-updater-cli.exe does the same on a console (orvik-updater-cli.exe\r\n"
    "--help). Only one updater runs at a time; a second start ends at once.\r\n";

}  // namespace orvik::win32
