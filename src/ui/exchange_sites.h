// Every exchange of an update that can fail, with the number and message of
// each way it can fail: the one table the update worker (run_update.cpp)
// and the failure guide (docs/failures.md, made by tools/failure-guide)
// read. A number names one place in the run; the messages are the dialog's.
#pragma once

#include <array>

#include "update/protocol.h"

namespace orvik {

// How an exchange failed, in the order of the table's columns.
enum class FailureKind {
  Write,  // the report could not be written to the device
  Reply,  // no reply came within the exchange's bound
  Check,  // a reply came, but not the one the command expects
};

// One place in the run where an exchange can fail, with the number and the
// message of each way it can fail (write, reply, compare).
struct ExchangeSite {
  UpdateCommand command;
  int codes[3];
  const char* messages[3];
  // A missing reply to this command is serious enough to be announced with a
  // separate "Update fail" box first.
  bool updateFailBoxOnNoReply = false;
};

inline constexpr ExchangeSite kStartSite{UpdateCommand::StartUpdate,
                                  {440, 460, 498},
                                  {"Write start code fail(%d)", "Get start code reply fail(%d)",
                                   "Check start code reply fail(%d)"}};
inline constexpr ExchangeSite kMcuEraseSite{UpdateCommand::MCUErase,
                                     {533, 551, 585},
                                     {"Write mcu erase code fail(%d)", "Get mcu erase code reply fail(%d)",
                                      "Check mcu erase code reply fail(%d)"}};
inline constexpr ExchangeSite kMcuSection1Site{UpdateCommand::MCUWrite,
                                        {703, 723, 772},
                                        {"Write mcu code fail(%d)", "Get write mcu code reply fail(%d)",
                                         "Check write mcu code reply fail(%d)"}};
inline constexpr ExchangeSite kMcuSection2Site{UpdateCommand::MCUWrite,
                                        {887, 907, 959},
                                        {"Write mcu code fail(%d)", "Get write mcu code reply fail(%d)",
                                         "Check write mcu code reply fail(%d)"}};
inline constexpr ExchangeSite kMcuEndSite{UpdateCommand::MCUEnd,
                                   {999, 1021, 1058},
                                   {"Write mcu end code fail(%d)", "Get write mcu end code reply fail(%d)",
                                    "Check write mcu end code reply fail(%d)"},
                                   true};
inline constexpr ExchangeSite kUsbEraseSite{UpdateCommand::USBErase,
                                     {1099, 1121, 1158},
                                     {"Write usb erase code fail(%d)", "Get write usb erase code reply fail(%d)",
                                      "Check write usb earse code reply fail(%d)"},
                                     true};
inline constexpr ExchangeSite kUsbSectionSite{UpdateCommand::USBWrite,
                                       {1273, 1293, 1345},
                                       {"Write usb code fail(%d)", "Get write usb code reply fail(%d)",
                                        "Check write usb code reply fail(%d)"}};
inline constexpr ExchangeSite kUsbEndSite{UpdateCommand::USBEnd,
                                   {1388, 1409, 1446},
                                   {"Write usb end code fail(%d)", "Get write usb end code reply fail(%d)",
                                    "Check write usb end code reply fail(%d)"}};

// Every site, in the order of a run of both controllers.
inline constexpr std::array<const ExchangeSite*, 8> kExchangeSites{
    &kStartSite, &kMcuEraseSite, &kMcuSection1Site, &kMcuSection2Site,
    &kMcuEndSite, &kUsbEraseSite, &kUsbSectionSite, &kUsbEndSite};

}  // namespace orvik
