#include "app/cli/device_text.h"

#include <cstdint>
#include <optional>

namespace orvik::cli {
namespace {

struct Decoded {
  char32_t code = 0;
  std::size_t length = 0;
};

// The character at the start of `bytes` when it is well-formed UTF-8: the
// shortest form, no surrogate, at most U+10FFFF.
std::optional<Decoded> DecodeOne(std::string_view bytes) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return Decoded{lead, 1};
  std::size_t length = 0;
  char32_t code = 0;
  char32_t least = 0;  // the smallest character that needs this length
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07, least = 0x10000;
  } else {
    return std::nullopt;  // a continuation byte, or 0xF8 and above
  }
  if (bytes.size() < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return std::nullopt;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
  return Decoded{code, length};
}

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
    const std::optional<Decoded> one = DecodeOne(bytes);
    const std::size_t length = one ? one->length : 1;
    if (!one || ActsOnTerminal(one->code) || one->code == U'\\') {
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
    const std::optional<Decoded> one = DecodeOne(bytes);
    if (one) {
      out.append(bytes.substr(0, one->length));
      bytes.remove_prefix(one->length);
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD
      bytes.remove_prefix(1);
    }
  }
  return out;
}

}  // namespace orvik::cli
