// Writes the failure guide (docs/failures.md) on standard output: every
// failure number an update can end with and every message the start-up can
// end with, taken from the tables the programs themselves use, with what
// each means and what an operator does. The failure_guide test compares the
// guide in the tree with this output, so the two cannot drift apart.
#include <cstdio>
#include <iostream>
#include <string>

#include "image/resources.h"
#include "ui/exchange_sites.h"
#include "ui/updater_dlg.h"
#include "update/protocol.h"

namespace {

using orvik::ExchangeSite;
using orvik::FailureKind;
using orvik::UpdateCommand;

// The step of the run a site stands for, as an operator reads it.
std::string StepOf(const ExchangeSite& site) {
  if (&site == &orvik::kMcuSection1Site) return "writing the main controller (MCU), first part";
  if (&site == &orvik::kMcuSection2Site) return "writing the main controller (MCU), second part";
  switch (site.command) {
    case UpdateCommand::StartUpdate: return "starting the update";
    case UpdateCommand::MCUErase: return "erasing the main controller (MCU)";
    case UpdateCommand::MCUWrite: return "writing the main controller (MCU)";
    case UpdateCommand::MCUEnd: return "finishing the main controller (MCU)";
    case UpdateCommand::USBErase: return "erasing the USB controller";
    case UpdateCommand::USBWrite: return "writing the USB controller";
    case UpdateCommand::USBEnd: return "finishing the USB controller";
  }
  return "?";
}

const char* MeaningOf(FailureKind kind) {
  switch (kind) {
    case FailureKind::Write:
      return "The command could not be sent: the unit was unplugged, or its USB link failed.";
    case FailureKind::Reply:
      return "The unit took the command but did not answer within 5 seconds.";
    case FailureKind::Check:
      return "The unit answered, but not as the command expects: it refused the step.";
  }
  return "?";
}

const char* ActionOf(FailureKind kind) {
  switch (kind) {
    case FailureKind::Write:
      return "Check the cable and the slot, then plug the unit in again: it is updated anew.";
    case FailureKind::Reply:
    case FailureKind::Check:
      return "Plug the unit in again: it is updated anew. A unit that fails twice at the same number is "
             "faulty: set it aside.";
  }
  return "?";
}

// Markdown table cells: a "|" would end the cell.
std::string Cell(std::string text) {
  std::string out;
  for (const char c : text) out += c == '|' ? std::string("\\|") : std::string(1, c);
  return out;
}

}  // namespace

int main() {
  std::ostream& out = std::cout;
  out << "# When a unit fails: every failure number and what to do\n"
         "\n"
         "<!-- Made by tools/failure-guide from the program's own tables; do not edit.\n"
         "     cmake --build --preset linux-debug --target failure-guide  writes it again. -->\n"
         "\n"
         "An update that fails ends with a message that names a number, such as\n"
         "`Check write usb code reply fail(1345)`. The number says where in the run\n"
         "the update stopped and how. It is the `failure` of `--json`'s result event\n"
         "and of the record, and the station's summary counts each (`failure 1345: 1`). A\n"
         "failed update leaves the unit as far as it was written: it must be updated\n"
         "again before it leaves the line.\n"
         "\n"
         "**Re-plugging a failed unit retries it.** A station keeps every unit it has\n"
         "had a turn with, passed or failed, until it is unplugged (so that nothing is\n"
         "updated twice by mistake); unplug it and plug it in again, in any slot, and\n"
         "the station updates it anew. A single update (`orvik-updater-cli`, the\n"
         "window) is simply run again.\n"
         "\n"
         "## During an update\n"
         "\n"
         "| Number | Message | Step | What happened | What to do |\n"
         "|---:|---|---|---|---|\n";
  const FailureKind kinds[3] = {FailureKind::Write, FailureKind::Reply, FailureKind::Check};
  for (const ExchangeSite* site : orvik::kExchangeSites) {
    for (int k = 0; k < 3; ++k) {
      char message[128];
      std::snprintf(message, sizeof message, site->messages[k], site->codes[k]);
      std::string shown = std::string("`") + message + "`";
      if (kinds[k] == FailureKind::Reply && site->updateFailBoxOnNoReply) shown = "`Update fail`, then " + shown;
      out << "| " << site->codes[k] << " | " << Cell(shown) << " | " << StepOf(*site) << " | " << MeaningOf(kinds[k])
          << " | " << ActionOf(kinds[k]) << " |\n";
    }
  }
  out << "\n"
         "A run with `--no-mcu` starts at the USB controller's erase (1099); one with\n"
         "`--no-usb` ends after the main controller (1058). The numbers of the two\n"
         "parts of the main controller differ so that the log tells them apart.\n"
         "\n"
         "## Before an update starts\n"
         "\n"
         "These end the start-up: no unit was sent anything, and the exit status is 2.\n"
         "\n"
         "| Message | What happened | What to do |\n"
         "|---|---|---|\n";
  struct Startup {
    const char* message;
    const char* meaning;
    const char* action;
  };
  const Startup startups[] = {
      {orvik::kCantFindDevice, "No unit is plugged in, or none could be opened (the next message says why).",
       "Plug the unit in. `orvik-updater-cli --list` shows every unit and why it cannot be opened; on Linux "
       "install the udev rule (70-orvik-updater.rules, or 71-orvik-station.rules for a station's service)."},
      {orvik::kCantStartUpdate, "The system would not start the update's worker.", "Try again; restart the machine "
                                                                                 "if it keeps happening."},
      {orvik::kCantFindVersionMessage, "The program file is damaged: its version text is missing.",
       "Install the program again."},
      {orvik::kCantFindUpdateDataMessage, "The program file is damaged: its firmware image is missing.",
       "Install the program again."},
      {orvik::kUpdateDataDamagedMessage, "The firmware image in the program does not verify.",
       "Install the program again."},
      {orvik::kOutOfMemoryMessage, "The machine ran out of memory.", "Close other programs and try again."},
  };
  for (const Startup& s : startups) {
    out << "| `" << Cell(s.message) << "` | " << s.meaning << " | " << s.action << " |\n";
  }
  return 0;
}
