// Conversions between the core's UTF-8 text and the UTF-16 that the log file
// and the Win32 API use. Invalid input becomes U+FFFD; nothing throws.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvik {

std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Cuts UTF-8 text so that its UTF-16 form has at most maxUnits units, never
// splitting a character.
std::string TruncateToUtf16Units(std::string_view utf8, std::size_t maxUnits);

}  // namespace orvik
