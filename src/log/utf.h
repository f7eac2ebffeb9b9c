// Conversions between the core's UTF-8 text and the UTF-16 that the log file
// and the Win32 API use. Invalid input becomes U+FFFD; nothing throws.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvik {

// The character at the start of UTF-8 text.
struct Utf8Char {
  char32_t code = 0;       // U+FFFD when not well-formed
  std::size_t length = 0;  // bytes taken: for a character that is not
                           // well-formed, its lead byte and the continuation
                           // bytes that follow it, up to the length the lead
                           // byte announces
  bool valid = false;      // well-formed: the shortest form, no surrogate, at
                           // most U+10FFFF
};

// Decodes the character at the start of `utf8`, which is not empty.
Utf8Char DecodeUtf8(std::string_view utf8);

std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Cuts UTF-8 text so that its UTF-16 form has at most maxUnits units, never
// splitting a character.
std::string TruncateToUtf16Units(std::string_view utf8, std::size_t maxUnits);

}  // namespace orvik
