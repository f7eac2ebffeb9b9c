#include "app/cli/device_text.h"

#include <cstdint>

#include "log/utf.h"

namespace orvik::cli {
namespace {

// Characters a terminal acts on instead of showing: C0, DEL, C1, and the
// bidirectional embeddings, overrides and isolates.
bool ActsOnTerminal(char32_t code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069);
}

void AppendEscaped(std::string& out, std::string_view bytes) {
  constexpr char kHex[] = "0123456789abcdef";
  for (const char c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    out += "\\x";
    out += kHex[b >> 4];
    out += kHex[b & 0x0F];
  }
}

}  // namespace

std::string TerminalText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    // A byte that does not start a well-formed character is escaped alone.
    const Utf8Char one = DecodeUtf8(bytes);
    const std::size_t length = one.valid ? one.length : 1;
    if (!one.valid || ActsOnTerminal(one.code) || one.code == U'\\') {
      AppendEscaped(out, bytes.substr(0, length));
    } else {
      out.append(bytes.substr(0, length));
    }
    bytes.remove_prefix(length);
  }
  return out;
}

std::string ValidUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const Utf8Char one = DecodeUtf8(bytes);
    if (one.valid) {
      out.append(bytes.substr(0, one.length));
      bytes.remove_prefix(one.length);
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD
      bytes.remove_prefix(1);
    }
  }
  return out;
}

std::string SerialText(std::string_view serial) {
  return serial.empty() ? std::string("no serial") : "serial " + TerminalText(serial);
}

}  // namespace orvik::cli
