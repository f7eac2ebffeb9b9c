// Where a station writes each unit's own log: DIR/SERIAL.log, or a name made
// from the unit's path when it has no serial. The serial is device input and
// the path may hold separators, so the name is made safe for a file name on
// Linux and Windows alike.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvik::station {

// The longest file name stem, in bytes, before ".log".
inline constexpr std::size_t kMaxLogStem = 96;

// A file name stem from any bytes: valid, printable UTF-8 is kept; control
// bytes, DEL, bytes that are not UTF-8, the separators and the characters
// Windows refuses in names (< > : " / \ | ? *) become '_'. A leading '.' or
// '-' and trailing dots and blanks (Windows drops them) become '_' too, a
// name Windows reserves for a device (CON, NUL, COM1, LPT1, ..., with any
// extension and in any case) gets a leading '_', and the stem is cut to
// kMaxLogStem bytes at a character boundary. Never empty.
std::string SafeFileStem(std::string_view bytes);

// "SERIAL.log" for a unit with a serial; otherwise the path's name with its
// separators as '-' ("/dev/hidraw3" -> "dev-hidraw3.log"), both made safe.
std::string UnitLogFileName(std::string_view serial, std::string_view path);

}  // namespace orvik::station
