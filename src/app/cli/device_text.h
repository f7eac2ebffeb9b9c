// Text that comes from a device (a USB serial number) is device input: any
// bytes, not necessarily UTF-8, perhaps with control characters that would
// move a terminal's cursor or clear its screen. It is made safe where it is
// written, each writer in its own way.
#pragma once

#include <string>
#include <string_view>

namespace orvik::cli {

// For a terminal or the log: valid, printable UTF-8 is kept; every byte of
// anything else (control characters, DEL, the C1 controls, the bidirectional
// overrides that reorder a line, invalid or overlong sequences, surrogates)
// becomes "\xNN" with two lower-case hex digits, and so does a backslash, so
// that an escape in the output always stands for one byte.
std::string TerminalText(std::string_view bytes);

// "serial 0123456789AB" (as TerminalText) or "no serial".
std::string SerialText(std::string_view serial);

// For JSON: valid UTF-8 is kept as it is (JSON escapes control characters
// itself); each invalid sequence becomes U+FFFD. Never throws for bad input.
std::string ValidUtf8(std::string_view bytes);

}  // namespace orvik::cli
