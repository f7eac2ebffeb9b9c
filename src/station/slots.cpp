#include "station/slots.h"

#include <algorithm>
#include <fstream>
#include <system_error>

namespace orvik::station {
namespace {

constexpr std::size_t kMaxEmulatedPortLength = 64;
// USB allows at most seven tiers below the root: no port chain is longer.
constexpr std::size_t kMaxPortNumbers = 7;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// 1 to 999, no leading zero.
bool IsPortNumber(std::string_view text) {
  return !text.empty() && text.size() <= 3 && text.front() != '0' && std::all_of(text.begin(), text.end(), IsDigit);
}

bool IsSysfsPort(std::string_view port) {
  const std::size_t dash = port.find('-');
  if (dash == std::string_view::npos || !IsPortNumber(port.substr(0, dash))) return false;
  std::string_view chain = port.substr(dash + 1);
  for (std::size_t numbers = 1;; ++numbers) {
    const std::size_t dot = chain.find('.');
    if (numbers > kMaxPortNumbers || !IsPortNumber(chain.substr(0, dot))) return false;
    if (dot == std::string_view::npos) return true;
    chain.remove_prefix(dot + 1);
  }
}

bool IsLocationPath(std::string_view port) {
  std::string_view last;
  while (!port.empty()) {
    const std::size_t hash = port.find('#');
    const std::string_view part = port.substr(0, hash);
    const std::size_t open = part.find('(');
    if (open == 0 || open == std::string_view::npos || part.back() != ')' || open + 2 >= part.size()) return false;
    const std::string_view name = part.substr(0, open);
    const std::string_view argument = part.substr(open + 1, part.size() - open - 2);
    if (!std::all_of(name.begin(), name.end(), [](char c) { return (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '_'; }))
      return false;
    if (!std::all_of(argument.begin(), argument.end(), [](char c) { return IsLetter(c) || IsDigit(c) || c == '_'; }))
      return false;
    last = part;
    if (hash == std::string_view::npos) break;
    port.remove_prefix(hash + 1);
    if (port.empty()) return false;  // a trailing '#'
  }
  return last.starts_with("USB(") && std::all_of(last.begin() + 4, last.end() - 1, IsDigit);
}

bool IsEmulatedPort(std::string_view port) {
  return !port.empty() && port.size() <= kMaxEmulatedPortLength && port.front() != '#' &&
         std::all_of(port.begin(), port.end(), [](char c) { return c > ' ' && c <= '~'; });
}

// Text from the file as a message quotes it: printable ASCII kept, any other
// byte as \xNN.
std::string Shown(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
      shown += c;
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0x0f];
    }
  }
  return shown;
}

// The line's fields up to a comment.
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t at = 0;
  while (at < line.size()) {
    if (IsBlank(line[at])) {
      ++at;
      continue;
    }
    if (line[at] == '#') break;
    const std::size_t end = std::find_if(line.begin() + static_cast<std::ptrdiff_t>(at), line.end(), IsBlank) - line.begin();
    fields.push_back(line.substr(at, end - at));
    at = end;
  }
  return fields;
}

}  // namespace

bool IsPortInForm(std::string_view port, PortForm form) {
  switch (form) {
    case PortForm::Sysfs:
      return IsSysfsPort(port);
    case PortForm::LocationPath:
      return IsLocationPath(port);
    case PortForm::Emulated:
      return IsEmulatedPort(port);
  }
  return false;
}

std::string PortFormText(PortForm form) {
  switch (form) {
    case PortForm::Sysfs:
      return "a USB port as Linux names it (BUS-PORT[.PORT]..., e.g. 1-1.4.2)";
    case PortForm::LocationPath:
      return "a USB port as Windows names it (a location path, e.g. PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4))";
    case PortForm::Emulated:
      return "an emulated unit's port (printable ASCII without blanks, at most 64 characters, e.g. emu-1)";
  }
  return {};
}

bool IsSlotName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxSlotNameLength &&
         std::all_of(name.begin(), name.end(), [](char c) { return IsLetter(c) || IsDigit(c) || c == '-' || c == '_'; });
}

std::optional<std::string> SlotMap::SlotOf(std::string_view port) const {
  for (const Slot& slot : m_slots) {
    if (slot.port == port) return slot.name;
  }
  return std::nullopt;
}

bool SlotMap::Add(Slot slot) {
  const bool taken = std::any_of(m_slots.begin(), m_slots.end(),
                                 [&](const Slot& s) { return s.name == slot.name || s.port == slot.port; });
  if (taken) return false;
  m_slots.push_back(std::move(slot));
  return true;
}

std::optional<SlotMap> ParseSlots(std::string_view text, PortForm form, std::string& error) {
  error.clear();
  SlotMap map;
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::string prefix = "line " + std::to_string(number) + ": ";
    const std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    if (eol == std::string_view::npos) {
      error = prefix + "the file ends without a line end; it may have been cut short (end its last line)";
      return std::nullopt;
    }
    text.remove_prefix(eol + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.size() > kMaxSlotLineBytes) {
      error = prefix + "longer than " + std::to_string(kMaxSlotLineBytes) + " bytes";
      return std::nullopt;
    }
    if (line.find('\0') != std::string_view::npos) {
      error = prefix + "holds a NUL byte";
      return std::nullopt;
    }
    const auto control = std::find_if(line.begin(), line.end(), [](char c) {
      const auto byte = static_cast<unsigned char>(c);
      return (byte < 0x20 && c != '\t') || byte == 0x7f;
    });
    if (control != line.end()) {
      error = prefix + "holds a control character (" + Shown(std::string_view(&*control, 1)) + ")";
      return std::nullopt;
    }
    const std::vector<std::string_view> fields = Fields(line);
    if (fields.empty()) continue;  // blank, or a comment
    if (fields.size() != 2) {
      error = prefix + "expected NAME PORT, found '" + Shown(line) + "'";
      return std::nullopt;
    }
    const std::string_view name = fields[0];
    const std::string_view port = fields[1];
    if (!IsSlotName(name)) {
      error = prefix + "the slot name '" + Shown(name) + "' is not 1 to " + std::to_string(kMaxSlotNameLength) +
              " letters, digits, '-' and '_'";
      return std::nullopt;
    }
    if (!IsPortInForm(port, form)) {
      error = prefix + "'" + Shown(port) + "' is not " + PortFormText(form);
      return std::nullopt;
    }
    for (const Slot& slot : map.Slots()) {
      const std::string earlier = "slot " + slot.name + " (line " + std::to_string(slot.line) + ")";
      if (slot.name == name) {
        error = prefix + "the slot name " + slot.name + " is already " + earlier;
        return std::nullopt;
      }
      if (slot.port == port) {
        error = prefix + "the port " + slot.port + " is already " + earlier;
        return std::nullopt;
      }
    }
    map.Add(Slot{std::string(name), std::string(port), number});
  }
  return map;
}

std::optional<SlotMap> ReadSlotFile(const std::filesystem::path& path, PortForm form, std::string& error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) {
    error = "cannot be read: no such file";
    return std::nullopt;
  }
  if (ec) {
    error = "cannot be read: " + ec.message();
    return std::nullopt;
  }
  if (fs::is_directory(status)) {
    error = "is a folder, not a slot file";
    return std::nullopt;
  }
  const std::string tooLarge = "is larger than " + std::to_string(kMaxSlotFileBytes) + " bytes: not a slot file";
  if (fs::is_regular_file(status)) {
    const std::uintmax_t size = fs::file_size(path, ec);
    if (!ec && size > kMaxSlotFileBytes) {
      error = tooLarge;
      return std::nullopt;
    }
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot be read";
    return std::nullopt;
  }
  // Bounded whatever the size said: a pipe has none, and a file may grow.
  std::string text(static_cast<std::size_t>(kMaxSlotFileBytes) + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) {
    error = "cannot be read";
    return std::nullopt;
  }
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxSlotFileBytes) {
    error = tooLarge;
    return std::nullopt;
  }
  return ParseSlots(text, form, error);
}

std::string FormatSlots(const SlotMap& map, std::string_view comment) {
  std::string text = "# " + std::string(comment) + "\n";
  for (const Slot& slot : map.Slots()) text += slot.name + " " + slot.port + "\n";
  return text;
}

}  // namespace orvik::station
