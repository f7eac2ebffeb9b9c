#include "station/unit_log.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "log/log.h"
#include "log/log_folder.h"
#include "log/native_path.h"
#include "log/utf.h"

namespace orvik::station {
namespace {

// Characters that change how text around them is shown or that show as
// nothing: Unicode's format characters (Cf: bidi marks, embeddings and
// isolates, zero-width characters, the byte-order mark, ...), the line and
// paragraph separators, and the noncharacters. In a file name they make two
// names look alike, or one read backwards.
bool IsInvisible(std::uint32_t code) {
  static constexpr std::pair<std::uint32_t, std::uint32_t> kRanges[] = {
      {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
      {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x2028, 0x202E},
      {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFDD0, 0xFDEF},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},
      {0xFFFE, 0xFFFF},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
      {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
  };
  if ((code & 0xFFFE) == 0xFFFE) return true;  // U+nFFFE and U+nFFFF in every plane
  return std::any_of(std::begin(kRanges), std::end(kRanges),
                     [code](const auto& range) { return code >= range.first && code <= range.second; });
}

// The length of the valid UTF-8 sequence at the start of `text` that is
// printable (no control character, C1 included, and nothing IsInvisible);
// 0 when there is none.
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
  if (overlong || surrogate || c1 || code > 0x10FFFF || IsInvisible(code)) return 0;
  return length;
}

// 64-bit FNV-1a over `bytes`, started from a basis that `salt` varies.
std::uint64_t Hash(std::string_view bytes, unsigned salt) {
  std::uint64_t hash = 0xCBF29CE484222325ull ^ (0x9E3779B97F4A7C15ull * salt);
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001B3ull;
  }
  return hash;
}

// A serial that is its own file name on every system: unchanged by
// SafeFileStem, printable ASCII, no lower-case letter (so that no two such
// names differ only in case) and no '~' (which every hashed name and every
// 8.3 short name Windows makes holds).
bool KeptAsItIs(std::string_view serial, std::string_view stem) {
  return stem == serial && std::none_of(serial.begin(), serial.end(), [](char c) {
           const auto byte = static_cast<unsigned char>(c);
           return byte >= 0x80 || (c >= 'a' && c <= 'z') || c == '~';
         });
}

// What a unit's log name is made from; two units with one serial are one.
std::string UnitKey(std::string_view serial, std::string_view path) {
  return serial.empty() ? "path:" + std::string(path) : "serial:" + std::string(serial);
}

// Windows compares names without regard to case: so does the table.
std::string Folded(std::string_view name) {
  std::string folded(name);
  std::transform(folded.begin(), folded.end(), folded.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
  return folded;
}

// How many salted names a unit tries before its log is given up.
constexpr unsigned kNameTries = 16;

}  // namespace

std::string SafeFileStem(std::string_view bytes) {
  static constexpr std::string_view kRefused = "<>:\"/\\|?*";
  std::string stem;
  for (std::size_t i = 0; i < bytes.size() && stem.size() < kMaxLogStem;) {
    const std::size_t length = PrintableSequence(bytes.substr(i));
    if (length == 0 || (length == 1 && kRefused.find(bytes[i]) != std::string_view::npos)) {
      stem += '_';
      // The rest of a sequence that is not shown is replaced with it.
      std::size_t skip = 1;
      if (length == 0 && static_cast<unsigned char>(bytes[i]) >= 0xC2) {
        const Utf8Char decoded = DecodeUtf8(bytes.substr(i));
        if (decoded.valid) skip = decoded.length;
      }
      i += skip;
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

std::string UnitLogFileName(std::string_view serial, std::string_view path, unsigned salt) {
  std::string text(serial);
  if (serial.empty()) {
    text = path;
    std::replace(text.begin(), text.end(), '/', '-');
    std::replace(text.begin(), text.end(), '\\', '-');
    const std::size_t first = text.find_first_not_of('-');
    text = first == std::string::npos ? std::string() : text.substr(first);
  }
  const std::string stem = SafeFileStem(text);
  if (!serial.empty() && salt == 0 && KeptAsItIs(serial, stem)) return stem + ".log";
  const std::uint64_t hash = Hash(UnitKey(serial, path), salt);
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "~%08x", static_cast<unsigned>((hash >> 32) ^ (hash & 0xFFFFFFFFu)));
  return stem + suffix + ".log";
}

UnitLogFolder::UnitLogFolder(std::filesystem::path folder, std::unique_ptr<LogFolder> held)
    : m_folder(std::move(folder)), m_held(std::move(held)) {}

UnitLogFolder::~UnitLogFolder() = default;

std::shared_ptr<UnitLogFolder> UnitLogFolder::Open(const std::filesystem::path& folder, std::string& error) {
  std::unique_ptr<LogFolder> held = LogFolder::Open(folder, error);
  if (!held) return nullptr;
  return std::shared_ptr<UnitLogFolder>(new UnitLogFolder(folder, std::move(held)));
}

void UnitLogFolder::PruneLocked() {
  std::erase_if(m_open, [](const auto& entry) { return entry.second.log.expired(); });
}

std::size_t UnitLogFolder::OpenLogs() {
  std::lock_guard lock(m_lock);
  PruneLocked();
  return m_open.size();
}

std::shared_ptr<CLog> UnitLogFolder::LogFor(std::string_view serial, std::string_view path, std::string& error) {
  const std::string unit = UnitKey(serial, path);
  // Held while the file is opened: a second attachment with the same serial
  // must find the first one's log, not open (and maybe empty) the file again.
  std::lock_guard lock(m_lock);
  PruneLocked();
  for (unsigned salt = 0; salt < kNameTries; ++salt) {
    const std::string name = UnitLogFileName(serial, path, salt);
    const auto found = m_open.find(Folded(name));
    if (found != m_open.end()) {
      // A log's last holder lets go without this lock, so an entry the prune
      // kept may have expired since: then the name is free again.
      if (std::shared_ptr<CLog> shared = found->second.log.lock()) {
        // Two units with one serial share the file while both write it:
        // opening it again could empty it (the size rule) under the
        // other's lines. Another unit's log under that name is never shared.
        if (found->second.unit == unit) return shared;
        continue;
      }
      m_open.erase(found);
    }
    auto log = std::make_shared<CLog>(CLog::Unregistered{});
    std::string why;
    if (!log->Adopt(m_held->OpenLog(name, why))) {
      error = "cannot write " + PathToUtf8(m_folder / std::filesystem::path(std::u8string(name.begin(), name.end()))) +
              ": " + why;
      return nullptr;
    }
    m_open.emplace(Folded(name), Entry{unit, log});
    return log;
  }
  error = "no file name left for its log in " + PathToUtf8(m_folder);
  return nullptr;
}

}  // namespace orvik::station
