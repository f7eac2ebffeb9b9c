#include "log/device_text.h"

#include <cstdint>

#include "log/utf.h"

namespace orvik {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void AppendByteEscapes(std::string& out, std::string_view bytes) {
  for (const char c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    out += "\\x";
    out += kHex[b >> 4];
    out += kHex[b & 0x0F];
  }
}

void AppendCodeEscape(std::string& out, char32_t code) {
  std::string digits;
  do {
    digits.insert(digits.begin(), kHex[code & 0x0F]);
    code >>= 4;
  } while (code != 0);
  out += "\\u{" + digits + "}";
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

bool IsFormulaStart(char c) { return c == '=' || c == '+' || c == '-' || c == '@' || c == '\''; }

}  // namespace

bool IsDeviceTextHidden(char32_t code) {
  return (code >= 0x80 && code <= 0x9F) || code == 0x061C || (code >= 0x200B && code <= 0x200F) ||
         code == 0x2028 || code == 0x2029 || (code >= 0x202A && code <= 0x202E) ||
         (code >= 0x2060 && code <= 0x2064) || (code >= 0x2066 && code <= 0x2069) || code == 0xFEFF;
}

std::string DeviceTextForTerminal(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    // A byte that does not start a well-formed character is escaped alone.
    const Utf8Char one = DecodeUtf8(bytes);
    const std::size_t length = one.valid ? one.length : 1;
    if (!one.valid || one.code < 0x20 || one.code == 0x7F || one.code == U'\\') {
      AppendByteEscapes(out, bytes.substr(0, length));
    } else if (IsDeviceTextHidden(one.code)) {
      AppendCodeEscape(out, one.code);
    } else {
      out.append(bytes.substr(0, length));
    }
    bytes.remove_prefix(length);
  }
  return out;
}

std::string DeviceTextForJson(std::string_view bytes) { return DeviceTextForTerminal(bytes); }

std::string DeviceTextForCsv(std::string_view bytes) {
  const std::string text = DeviceTextForTerminal(bytes);
  std::string cell = "\"";
  if (!text.empty() && IsFormulaStart(text.front())) cell += '\'';
  for (const char c : text) {
    if (c == '"') cell += '"';
    cell += c;
  }
  return cell + '"';
}

std::optional<std::string> DeviceTextFromEscaped(std::string_view escaped) {
  std::string bytes;
  bytes.reserve(escaped.size());
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '\\') {
      bytes += escaped[i];
      continue;
    }
    if (i + 3 < escaped.size() && escaped[i + 1] == 'x' && HexValue(escaped[i + 2]) >= 0 &&
        HexValue(escaped[i + 3]) >= 0) {
      bytes += static_cast<char>(HexValue(escaped[i + 2]) * 16 + HexValue(escaped[i + 3]));
      i += 3;
      continue;
    }
    if (i + 2 < escaped.size() && escaped[i + 1] == 'u' && escaped[i + 2] == '{') {
      const std::size_t close = escaped.find('}', i + 3);
      // One to six hex digits: a code point up to U+10FFFF, not a surrogate.
      if (close == std::string_view::npos || close == i + 3 || close - (i + 3) > 6) return std::nullopt;
      char32_t code = 0;
      for (std::size_t k = i + 3; k < close; ++k) {
        const int digit = HexValue(escaped[k]);
        if (digit < 0) return std::nullopt;
        code = code * 16 + static_cast<char32_t>(digit);
      }
      if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
      AppendUtf8(bytes, code);
      i = close;
      continue;
    }
    return std::nullopt;
  }
  return bytes;
}

std::optional<std::string> DeviceTextFromCsv(std::string_view content) {
  if (content.size() >= 2 && content.front() == '\'' && IsFormulaStart(content[1])) content.remove_prefix(1);
  return DeviceTextFromEscaped(content);
}

}  // namespace orvik
