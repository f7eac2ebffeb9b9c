// The portable part of the path rules: Windows' device names.
#include "log/native_path.h"

#include <algorithm>
#include <array>

namespace orvik {

bool IsReservedDeviceName(std::string_view name) {
  // Windows takes the part before the first '.', without trailing blanks.
  std::string base(name.substr(0, name.find('.')));
  while (!base.empty() && (base.back() == ' ' || base.back() == '.')) base.pop_back();
  std::transform(base.begin(), base.end(), base.begin(), [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
  static constexpr std::array<std::string_view, 6> kNames = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  if (std::find(kNames.begin(), kNames.end(), base) != kNames.end()) return true;
  if (!base.starts_with("COM") && !base.starts_with("LPT")) return false;
  const std::string_view digit = std::string_view(base).substr(3);
  // An ASCII digit, or superscript one, two or three (U+00B9, U+00B2,
  // U+00B3), which Windows also reads as a port's number.
  if (digit.size() == 1) return digit[0] >= '0' && digit[0] <= '9';
  return digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

}  // namespace orvik
