// What `orvik-updater --help` and `--version` print. The manual page is made
// from this text at build time (help2man), so the two cannot differ.
#pragma once

#include <optional>
#include <string>

namespace orvik::qt {

inline constexpr char kHelpText[] =
    "Usage: orvik-updater [-AdvMode] [-Emulate[:UNIT[,UNIT]...]]\n"
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
    "                    USBErase, USBWrite or USBEnd (badecho: only the write\n"
    "                    commands MCUWrite and USBWrite)\n"
    "  -Emulate:UNIT,... several emulated devices, the first updated; UNIT is\n"
    "                    good or FAULT, then /after=MS, /leave=MS, /pull=MS,\n"
    "                    /serial=TEXT and /port=TEXT (see orvik-updater-cli\n"
    "                    --help)\n"
    "  --version         show the program's version\n"
    "  --help            show this text\n"
    "\n"
    "One updater (windowed or a single update) runs at a time per user, and\n"
    "not beside a station; a second start ends at once. Failures are shown in\n"
    "the window with their number.\n"
    "The log, orvik-updater.log, is written beside the program, or in\n"
    "~/.local/state/orvik-updater/ where that folder is not the user's own.\n"
    "It needs a display (X11 or Wayland); without one, use orvik-updater-cli.\n"
    "Exit status: 0 when the window was closed or another updater runs,\n"
    "2 when -Emulate:... is malformed or there is no display.\n";

// Why the window cannot open, or nothing when it can: no display is named
// (neither DISPLAY nor WAYLAND_DISPLAY) and no platform is chosen by
// QT_QPA_PLATFORM (offscreen, vnc, ... need no display). Qt would end the
// program with an abort instead. `getenv` reads the environment.
inline std::optional<std::string> MissingDisplay(char* (*getenv)(const char*)) {
  const auto set = [getenv](const char* name) {
    const char* value = getenv(name);
    return value != nullptr && *value != '\0';
  };
  if (set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM")) return std::nullopt;
  return std::string(
      "no display (neither DISPLAY nor WAYLAND_DISPLAY is set); on a machine without one, use "
      "orvik-updater-cli");
}

}  // namespace orvik::qt
