// A station's slot map: which USB ports of a fixture are its slots, and the
// name of each. The map is a text file, one slot a line:
//
//   # line 3, left fixture
//   A1 1-1.4.1
//   A2 1-1.4.2
//
// NAME is 1 to kMaxSlotNameLength letters, digits, '-' and '_'; PORT is a USB
// port as the system names it (PortForm). Blanks (spaces, tabs) separate the
// two and may lead or trail; a field that starts with '#' starts a comment
// that runs to the line's end (a Windows location path holds '#' inside, so
// only a '#' at a field's start counts); blank lines are allowed; a line may
// end in CR LF. The file is refused whole, naming the first bad line, for: a
// name or port given twice, a line that is not NAME PORT, a name or port not
// in its form, a NUL or another control character, a line longer than
// kMaxSlotLineBytes, and a last line without its line end (a file cut short
// could name a hub's port in place of a unit's: "1-1.4" for "1-1.4.2"). A
// file larger than kMaxSlotFileBytes is refused before it is read.
//
// Parsing knows no terminal and no device: the command line reads the file
// and renders what is wrong; the station engine asks SlotOf.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvik::station {

inline constexpr std::size_t kMaxSlotNameLength = 32;
// Bytes of one line, without its line end.
inline constexpr std::size_t kMaxSlotLineBytes = 200;
// Far more than any fixture's slots take (about 300 lines of the longest);
// a larger file is not a slot map and is not read.
inline constexpr std::uintmax_t kMaxSlotFileBytes = 64 * 1024;

// How the ports of the devices in use are written.
enum class PortForm {
  Sysfs,         // Linux: the USB device's kernel name, BUS-PORT[.PORT]...: "1-1.4.2"
  LocationPath,  // Windows: "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)"
  Emulated,      // emulated units: printable ASCII without blanks, at most 64 ("emu-1")
};

// The form of this system's USB ports: Sysfs on Linux, LocationPath on
// Windows.
PortForm SystemPortForm();

// True when `port` is written in `form`. Sysfs: a bus number, '-', then 1 to
// 7 port numbers joined by '.', each number 1 to 999 without leading zeros.
// LocationPath: NAME(ARG) parts joined by '#', NAME of capitals, digits and
// '_', ARG of letters, digits and '_', the last part USB(N).
bool IsPortInForm(std::string_view port, PortForm form);

// What a port of `form` looks like, for messages: "a USB port as Linux names
// it (BUS-PORT[.PORT]..., e.g. 1-1.4.2)".
std::string PortFormText(PortForm form);

// A slot name is 1 to kMaxSlotNameLength letters, digits, '-' and '_'.
bool IsSlotName(std::string_view name);

struct Slot {
  std::string name;
  std::string port;
  std::size_t line = 0;  // 1-based, in the file
};

class SlotMap {
 public:
  // In the file's order.
  const std::vector<Slot>& Slots() const { return m_slots; }
  // The name of the slot on `port`; nothing when `port` is not a slot.
  std::optional<std::string> SlotOf(std::string_view port) const;
  // Adds a slot; false (nothing added) when its name or port is taken.
  bool Add(Slot slot);

 private:
  std::vector<Slot> m_slots;
};

// Parses a slot file's text. Nothing, with the first fault in `error`
// ("line 3: the port 1-1.2 is already slot A1 (line 1)"), when any line is bad.
std::optional<SlotMap> ParseSlots(std::string_view text, PortForm form, std::string& error);

// Reads and parses the file at `path`. A file larger than kMaxSlotFileBytes
// (by its size, or by what a read gives when the size says nothing, as for a
// pipe) is refused without being read whole. `error` names the file's fault;
// it does not hold the path.
std::optional<SlotMap> ReadSlotFile(const std::filesystem::path& path, PortForm form, std::string& error);

// The text of a slot file for `map`, after `comment` (one line, without '#').
std::string FormatSlots(const SlotMap& map, std::string_view comment);

// Writes `text` to `path` atomically: into a new temporary file in the same
// folder, flushed to the disk, then put in place in one step, so that a
// reader sees the old file or the new one, never a part. An existing file is
// replaced only when `replace`; otherwise it is kept and this fails. False,
// with the reason in `error`, when nothing was written.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view text, bool replace, std::string& error);

}  // namespace orvik::station
