#include "station/unit_log.h"

#include "log/log.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>

namespace orvik::station {
namespace {

// The length of the valid UTF-8 sequence at the start of `text` that is not
// a control character (C1 included); 0 when there is none.
std::size_t PrintableSequence(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return lead >= 0x20 && lead != 0x7F ? 1 : 0;
  std::size_t length = 0;
  std::uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  const bool c1 = code >= 0x80 && code <= 0x9F;
  if (overlong || surrogate || c1 || code > 0x10FFFF) return 0;
  return length;
}

bool IsReservedDeviceName(std::string_view stem) {
  // Windows takes the part before the first '.' (and before trailing blanks).
  std::string base(stem.substr(0, stem.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  std::transform(base.begin(), base.end(), base.begin(), [](unsigned char c) { return std::toupper(c); });
  static constexpr std::array<std::string_view, 6> kNames = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  if (std::find(kNames.begin(), kNames.end(), base) != kNames.end()) return true;
  return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '0' && base[3] <= '9';
}

}  // namespace

std::string SafeFileStem(std::string_view bytes) {
  static constexpr std::string_view kRefused = "<>:\"/\\|?*";
  std::string stem;
  for (std::size_t i = 0; i < bytes.size() && stem.size() < kMaxLogStem;) {
    const std::size_t length = PrintableSequence(bytes.substr(i));
    if (length == 0 || (length == 1 && kRefused.find(bytes[i]) != std::string_view::npos)) {
      stem += '_';
      ++i;
      continue;
    }
    if (stem.size() + length > kMaxLogStem) break;
    stem.append(bytes.substr(i, length));
    i += length;
  }
  if (stem.empty()) return "_";
  if (stem.front() == '.' || stem.front() == '-') stem.front() = '_';
  for (auto it = stem.rbegin(); it != stem.rend() && (*it == '.' || *it == ' '); ++it) *it = '_';
  if (IsReservedDeviceName(stem)) stem.insert(stem.begin(), '_');
  return stem;
}

std::string UnitLogFileName(std::string_view serial, std::string_view path) {
  if (!serial.empty()) return SafeFileStem(serial) + ".log";
  std::string name(path);
  std::replace(name.begin(), name.end(), '/', '-');
  std::replace(name.begin(), name.end(), '\\', '-');
  const std::size_t first = name.find_first_not_of('-');
  name = first == std::string::npos ? std::string() : name.substr(first);
  return SafeFileStem(name) + ".log";
}

}  // namespace orvik::station

namespace orvik::station {

std::shared_ptr<UnitLogFolder> UnitLogFolder::Open(const std::filesystem::path& folder, std::string& error) {
  std::error_code code;
  if (!std::filesystem::is_directory(folder, code)) {
    error = "is not a folder";
    return nullptr;
  }
  return std::shared_ptr<UnitLogFolder>(new UnitLogFolder(folder));
}

std::shared_ptr<CLog> UnitLogFolder::LogFor(std::string_view serial, std::string_view path, std::string& error) {
  const std::string name = UnitLogFileName(serial, path);
  std::lock_guard lock(m_lock);
  std::erase_if(m_open, [](const auto& entry) { return entry.second.expired(); });
  // Two units with one serial share the file while both write it: opening
  // it again could empty it (the size rule) under the other's lines.
  if (std::shared_ptr<CLog> shared = m_open[name].lock()) return shared;
  auto log = std::make_shared<CLog>(CLog::Unregistered{});
  const std::filesystem::path file = m_folder / std::filesystem::path(std::u8string(name.begin(), name.end()));
  if (!log->Open(file)) {
    const std::u8string where = file.u8string();
    error = "cannot write " + std::string(where.begin(), where.end());
    return nullptr;
  }
  m_open[name] = log;
  return log;
}

}  // namespace orvik::station
