// Device text (a USB serial number) as the command line writes it: the one
// policy of log/device_text.h, under the names the command line uses.
#pragma once

#include <string>
#include <string_view>

#include "log/device_text.h"

namespace orvik::cli {

// For a terminal or the log (DeviceTextForTerminal).
inline std::string TerminalText(std::string_view bytes) { return DeviceTextForTerminal(bytes); }

// "serial 0123456789AB" (as TerminalText) or "no serial".
std::string SerialText(std::string_view serial);

// "port 1-1.4.2" (as TerminalText, like a serial: an emulated port comes from
// the command line) or "no port".
std::string PortText(std::string_view port);

// For a JSON field (DeviceTextForJson).
inline std::string JsonText(std::string_view bytes) { return DeviceTextForJson(bytes); }

// Valid UTF-8 with each invalid sequence replaced by U+FFFD: for text that is
// not the device's (a file's contents shown in JSON). Never throws.
std::string ValidUtf8(std::string_view bytes);

}  // namespace orvik::cli
