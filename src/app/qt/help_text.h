// What `orvik-updater --help` and `--version` print. The manual page is made
// from this text at build time (help2man), so the two cannot differ.
#pragma once

namespace orvik::qt {

inline constexpr char kHelpText[] =
    "Usage: orvik-updater [-AdvMode] [-Emulate[:FAULT]]\n"
    "       orvik-updater --version | --help\n"
    "\n"
    "Updates the firmware of both controllers of the Solvane device (MCU and\n"
    "USB) from the image built into this program, in one window: press\n"
    "\"Update\". The dialog cannot be closed while an update runs.\n"
    "\n"
    "  -AdvMode          show the expert check boxes: \"MCU\" and \"USB\" choose\n"
    "                    the controllers (both on), \"Log\" writes every block\n"
    "                    and reply to the log (off)\n"
    "  -Emulate          update an emulated device instead of the real one\n"
    "  -Emulate:FAULT    ... that misbehaves: absent, or KIND@COMMAND[#N] with\n"
    "                    KIND nowrite, noreply, badreply, badecho or unplug and\n"
    "                    COMMAND StartUpdate, MCUErase, MCUWrite, MCUEnd,\n"
    "                    USBErase, USBWrite or USBEnd\n"
    "  --version         show the program's version\n"
    "  --help            show this text\n"
    "\n"
    "Only one updater (windowed or not) runs at a time; a second start ends at\n"
    "once. Failures are shown in the window with their number.\n"
    "Exit status: 0 when the window was closed or another updater runs,\n"
    "2 when -Emulate:FAULT is malformed.\n";

}  // namespace orvik::qt
