// The slot file: what it may hold, what refuses it whole, and how a taught
// map is written.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "station/slots.h"
#include "support/test_support.h"

namespace orvik::station {
namespace {

namespace fs = std::filesystem;

using Slots = std::vector<std::pair<std::string, std::string>>;

std::string ReadText(const fs::path& path) {
  const std::vector<std::uint8_t> bytes = test::ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

Slots Pairs(const SlotMap& map) {
  Slots pairs;
  for (const Slot& slot : map.Slots()) pairs.emplace_back(slot.name, slot.port);
  return pairs;
}

TEST(SlotFile, GoodFilesGiveTheirSlotsInOrder) {
  struct Case {
    const char* name;
    std::string text;
    PortForm form;
    Slots slots;
  };
  const std::string longestName(kMaxSlotNameLength, 'n');
  for (const Case& c : {
           Case{"empty", "", PortForm::Sysfs, {}},
           Case{"comments and blanks", "# fixture 3\n\n  \t\nA1 1-1.4.1  # left\n  A2\t1-1.4.2\t\n", PortForm::Sysfs,
                {{"A1", "1-1.4.1"}, {"A2", "1-1.4.2"}}},
           Case{"CR LF", "a-1 2-3\r\nb_2 10-1.2.3.4.5.6.7\r\n", PortForm::Sysfs, {{"a-1", "2-3"}, {"b_2", "10-1.2.3.4.5.6.7"}}},
           Case{"longest name", longestName + " 1-1\n", PortForm::Sysfs, {{longestName, "1-1"}}},
           Case{"Windows", "3 PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)\n", PortForm::LocationPath,
                {{"3", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)"}}},
           Case{"emulated", "1 emu-1\n2 1-1.2\n", PortForm::Emulated, {{"1", "emu-1"}, {"2", "1-1.2"}}},
       }) {
    SCOPED_TRACE(c.name);
    std::string error;
    const std::optional<SlotMap> map = ParseSlots(c.text, c.form, error);
    ASSERT_TRUE(map) << error;
    EXPECT_EQ(Pairs(*map), c.slots);
  }
}

TEST(SlotFile, ABadLineRefusesTheWholeFileNamingTheLine) {
  struct Case {
    std::string text;
    PortForm form;
    const char* error;
  };
  const std::string tooLong = "A 1-1 #" + std::string(kMaxSlotLineBytes - 6, 'x') + "\n";
  for (const Case& c : {
           Case{"A 1-1\nB 1-2\nA 1-3\n", PortForm::Sysfs, "line 3: the slot name A is already slot A (line 1)"},
           Case{"A 1-1\n# x\nB 1-1\n", PortForm::Sysfs, "line 3: the port 1-1 is already slot A (line 1)"},
           Case{"A\n", PortForm::Sysfs, "line 1: expected NAME PORT, found 'A'"},
           Case{"A 1-1 extra\n", PortForm::Sysfs, "line 1: expected NAME PORT, found 'A 1-1 extra'"},
           Case{"A=1 1-1\n", PortForm::Sysfs, "line 1: the slot name 'A=1' is not 1 to 32 letters, digits, '-' and '_'"},
           Case{std::string(33, 'n') + " 1-1\n", PortForm::Sysfs,
                "line 1: the slot name 'nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn' is not 1 to 32 letters, digits, '-' and '_'"},
           Case{"\xc3\xa9 1-1\n", PortForm::Sysfs,
                "line 1: the slot name '\\xc3\\xa9' is not 1 to 32 letters, digits, '-' and '_'"},
           Case{"A 1-1\nB 1-01\n", PortForm::Sysfs,
                "line 2: '1-01' is not a USB port as Linux names it (BUS-PORT[.PORT]..., e.g. 1-1.4.2)"},
           Case{"A 1-1.2.3.4.5.6.7.8\n", PortForm::Sysfs,
                "line 1: '1-1.2.3.4.5.6.7.8' is not a USB port as Linux names it (BUS-PORT[.PORT]..., e.g. 1-1.4.2)"},
           Case{"A 1-1.\n", PortForm::Sysfs,
                "line 1: '1-1.' is not a USB port as Linux names it (BUS-PORT[.PORT]..., e.g. 1-1.4.2)"},
           Case{"A usb1\n", PortForm::Sysfs,
                "line 1: 'usb1' is not a USB port as Linux names it (BUS-PORT[.PORT]..., e.g. 1-1.4.2)"},
           Case{"A PCIROOT(0)#PCI(1400)#USBMI(0)\n", PortForm::LocationPath,
                "line 1: 'PCIROOT(0)#PCI(1400)#USBMI(0)' is not a USB port as Windows names it (a location path, "
                "e.g. PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4))"},
           Case{std::string("A 1-1\nB 1-\0002\n", 13), PortForm::Sysfs, "line 2: holds a NUL byte"},
           Case{"A 1-1\x1b[2J\n", PortForm::Sysfs, "line 1: holds a control character (\\x1b)"},
           Case{"A 1-1\rB 1-2\n", PortForm::Sysfs, "line 1: holds a control character (\\x0d)"},
           Case{tooLong, PortForm::Sysfs, "line 1: longer than 200 bytes"},
           Case{"A 1-1\nB 1-1.4", PortForm::Sysfs,
                "line 2: the file ends without a line end; it may have been cut short (end its last line)"},
       }) {
    SCOPED_TRACE(c.error);
    std::string error;
    EXPECT_FALSE(ParseSlots(c.text, c.form, error));
    EXPECT_EQ(error, c.error);
  }
}

TEST(SlotFile, AFileTooLargeIsRefusedWithoutBeingReadAndAMissingOneSaysSo) {
  const test::TempDir dir;
  const fs::path large = dir.path() / "large.slots";
  std::ofstream(large).close();
  fs::resize_file(large, 10 * 1024 * 1024);  // sparse: nothing to read but zeros
  std::string error;
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(ReadSlotFile(large, PortForm::Sysfs, error));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
  EXPECT_EQ(error, "is larger than 65536 bytes: not a slot file");

  EXPECT_FALSE(ReadSlotFile(dir.path() / "absent", PortForm::Sysfs, error));
  EXPECT_EQ(error, "cannot be read: no such file");
  EXPECT_FALSE(ReadSlotFile(dir.path(), PortForm::Sysfs, error));
  EXPECT_EQ(error, "is a folder, not a slot file");

  std::ofstream(dir.path() / "good.slots") << "A 1-1\n";
  const std::optional<SlotMap> map = ReadSlotFile(dir.path() / "good.slots", PortForm::Sysfs, error);
  ASSERT_TRUE(map) << error;
  EXPECT_EQ(map->SlotOf("1-1"), "A");
  EXPECT_EQ(map->SlotOf("1-2"), std::nullopt);
}

TEST(SlotFile, AWrittenMapReadsBackAndAnExistingFileIsKeptUnlessReplaced) {
  const test::TempDir dir;
  const fs::path file = dir.path() / "fixture.slots";
  SlotMap map;
  ASSERT_TRUE(map.Add({"1", "1-1.4.1", 0}));
  ASSERT_TRUE(map.Add({"2", "1-1.4.2", 0}));
  EXPECT_FALSE(map.Add({"3", "1-1.4.2", 0}));
  const std::string text = FormatSlots(map, "taught");
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(file, text, false, error)) << error;
  const std::optional<SlotMap> back = ReadSlotFile(file, PortForm::Sysfs, error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(Pairs(*back), (Slots{{"1", "1-1.4.1"}, {"2", "1-1.4.2"}}));

  EXPECT_FALSE(WriteFileAtomically(file, "other\n", false, error));
  EXPECT_EQ(error, "it exists already (--force replaces it)");
  EXPECT_EQ(ReadText(file), text);
  ASSERT_TRUE(WriteFileAtomically(file, "other\n", true, error)) << error;
  EXPECT_EQ(ReadText(file), "other\n");
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace orvik::station
