// The names Windows keeps for devices, a rule every system's code needs
// for names that must be safe on Windows too.
#include <gtest/gtest.h>

#include "log/native_path.h"

namespace orvik {
namespace {

TEST(IsReservedDeviceName, KnowsWindowsDeviceNamesInEveryForm) {
  const std::pair<const char*, bool> cases[] = {
      {"CON", true},         {"con", true},          {"Con.txt", true},         {"NUL.tar.gz", true},
      {"AUX ", true},        {"PRN .x", true},       {"CONIN$", true},          {"conout$.log", true},
      {"COM0", true},        {"COM9", true},         {"LPT5.csv", true},        {"COM\xC2\xB9", true},
      {"lpt\xC2\xB2", true}, {"COM\xC2\xB3.x", true}, {"COM10", false},         {"COM", false},
      {"COM\xC2\xB4", false}, {"CONSOLE", false},    {"_CON", false},           {"CON_", false},
      {"xNUL", false},       {"", false},            {"COM\xE2\x81\xB4", false},  // COM⁴: not a port
  };
  for (const auto& [name, reserved] : cases) EXPECT_EQ(IsReservedDeviceName(name), reserved) << name;
}

}  // namespace
}  // namespace orvik
