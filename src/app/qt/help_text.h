// What `orvik-updater --help` and `--version` print. The manual page is made
// from this text at build time (help2man), so the two cannot differ.
#pragma once

#include <optional>
#include <string>

namespace orvik::qt {

inline constexpr char kHelpText[] =
    "Usage: orvik-updater [-AdvMode] [-Emulate[:UNIT[,UNIT]...]]\n"
    "       orvik-updater --station[=COUNT] [STATION OPTION]... [-AdvMode] [-Emulate...]\n"
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
    "  --station[=COUNT] the station window: a tile per slot (or per unit as it\n"
    "                    arrives) with its state as a word, PASS or FAIL with the\n"
    "                    failure's number, and passed/failed counters in the\n"
    "                    title; each unit is updated as it arrives, once until it\n"
    "                    is unplugged; starts at once; COUNT units end it. The\n"
    "                    options below mean what they mean for\n"
    "                    orvik-updater-cli --station. STATION OPTIONs:\n"
    "  --parallel=N      update at most N units at once (1 to 64, default 8)\n"
    "  --slots FILE      only units on FILE's ports, one tile per slot\n"
    "  --record FILE|URI record every unit run (--skip-updated, --station-name,\n"
    "                    --operator as for orvik-updater-cli)\n"
    "  --log-dir DIR     each unit's log lines in DIR/SERIAL.log\n"
    "  --no-mcu, --no-usb  leave that controller alone; --log: log every block\n"
    "  --locked          leave the operator Start and Stop only\n"
    "  --version         show the program's version\n"
    "  --help            show this text\n"
    "\n"
    "One updater (windowed or a single update) runs at a time per user, and\n"
    "not beside a station; a second start ends at once. Failures are shown in\n"
    "the window with their number. The station\n"
    "window cannot be closed while units are updated; closed otherwise, it\n"
    "stops the station first.\n"
    "The log, orvik-updater.log, is written beside the program, or in\n"
    "~/.local/state/orvik-updater/ where that folder is not the user's own.\n"
    "It needs a display (X11 or Wayland); without one, use orvik-updater-cli.\n"
    "Exit status: 0 when the window was closed or another updater runs,\n"
    "2 when -Emulate:... is malformed, there is no display, or the station\n"
    "cannot start (a bad option, slot file, log folder or record).\n";

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
