#include "emulator/fault.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvik {
namespace {

TEST(FaultText, WellFormedFaultsParseAndPrintBack) {
  struct Case {
    const char* text;
    Fault fault;
  };
  const Case cases[] = {
      {"nowrite@StartUpdate", {FaultKind::NoWrite, UpdateCommand::StartUpdate, 0}},
      {"noreply@USBEnd#2", {FaultKind::NoReply, UpdateCommand::USBEnd, 2}},
      {"badreply@MCUErase#0", {FaultKind::BadReply, UpdateCommand::MCUErase, 0}},
      {"badecho@MCUWrite#512", {FaultKind::BadEcho, UpdateCommand::MCUWrite, 512}},
      {"badecho@USBWrite", {FaultKind::BadEcho, UpdateCommand::USBWrite, 0}},
      {"unplug@MCUEnd#65535", {FaultKind::Unplug, UpdateCommand::MCUEnd, kMaxFaultOccurrence}},
      {"unplug@USBErase", {FaultKind::Unplug, UpdateCommand::USBErase, 0}},
  };
  for (const Case& c : cases) {
    std::string error = "stale";
    const auto setting = ParseFaultSetting(c.text, error);
    ASSERT_TRUE(setting) << c.text << ": " << error;
    EXPECT_TRUE(error.empty());
    EXPECT_FALSE(setting->absent);
    EXPECT_EQ(setting->fault, c.fault) << c.text;
    std::string again;
    EXPECT_EQ(ParseFaultSetting(FaultText(c.fault), again), setting) << FaultText(c.fault);
  }
  std::string error;
  EXPECT_EQ(ParseFaultSetting("absent", error), (FaultSetting{.absent = true, .fault = std::nullopt}));
}

TEST(FaultText, MalformedFaultsAreRejectedNamingWhatIsWrong) {
  const std::pair<const char*, const char*> cases[] = {
      {"foo@MCUWrite",
       "unknown fault kind 'foo' (expected nowrite, noreply, badreply, badecho (write commands only) or unplug)"},
      {"NoWrite@MCUWrite",
       "unknown fault kind 'NoWrite' (expected nowrite, noreply, badreply, badecho (write commands only) or "
       "unplug)"},
      {"nowrite@MCUwrite",
       "unknown command 'MCUwrite' (expected StartUpdate, MCUErase, MCUWrite, MCUEnd, USBErase, USBWrite or USBEnd)"},
      {"nowrite@",
       "unknown command '' (expected StartUpdate, MCUErase, MCUWrite, MCUEnd, USBErase, USBWrite or USBEnd)"},
      {"nowrite",
       "fault 'nowrite' has no '@' (expected a unit: good, absent, KIND@COMMAND or KIND@COMMAND#N, each optionally "
       "followed by /after=MS, /leave=MS, /pull=MS, /serial=TEXT or /port=TEXT)"},
      {"",
       "empty fault (expected a unit: good, absent, KIND@COMMAND or KIND@COMMAND#N, each optionally followed by "
       "/after=MS, /leave=MS, /pull=MS, /serial=TEXT or /port=TEXT)"},
      {"nowrite@MCUWrite#", "bad command count '' after '#' (expected a number from 0 to 65535)"},
      {"nowrite@MCUWrite#65536", "bad command count '65536' after '#' (expected a number from 0 to 65535)"},
      {"nowrite@MCUWrite#-1", "bad command count '-1' after '#' (expected a number from 0 to 65535)"},
      {"nowrite@MCUWrite#1 ", "bad command count '1 ' after '#' (expected a number from 0 to 65535)"},
      {"nowrite@MCUWrite#99999999999999999999",
       "bad command count '99999999999999999999' after '#' (expected a number from 0 to 65535)"},
      {"badecho@MCUErase",
       "fault kind 'badecho' is only for the write commands, whose reply echoes a block (MCUWrite or USBWrite), "
       "not 'MCUErase'"},
      {"badecho@StartUpdate#1",
       "fault kind 'badecho' is only for the write commands, whose reply echoes a block (MCUWrite or USBWrite), "
       "not 'StartUpdate'"},
  };
  for (const auto& [text, message] : cases) {
    std::string error;
    EXPECT_FALSE(ParseFaultSetting(text, error)) << text;
    EXPECT_EQ(error, message) << text;
  }
}

TEST(EmulateOption, FindsTheSwitchAsAWholeCaseSensitiveArgument) {
  using Args = std::vector<std::string>;
  EXPECT_FALSE(ParseEmulateOption(Args{"orvik-updater", "-AdvMode"}).emulate);
  EXPECT_FALSE(ParseEmulateOption(Args{"-emulate", "-Emulated", "-Emulate;x", "Emulate", "x-Emulate"}).emulate);

  const EmulateOption plain = ParseEmulateOption(Args{"prog", "-AdvMode", "-Emulate"});
  EXPECT_TRUE(plain.emulate);
  EXPECT_TRUE(plain.error.empty());
  EXPECT_EQ(plain.setting, FaultSetting{});

  const EmulateOption absent = ParseEmulateOption(Args{"-Emulate:absent"});
  EXPECT_TRUE(absent.emulate && absent.setting.absent && absent.error.empty());

  const EmulateOption fault = ParseEmulateOption(Args{"prog", "-Emulate:noreply@USBWrite#427"});
  EXPECT_TRUE(fault.emulate && fault.error.empty());
  EXPECT_EQ(fault.setting.fault, (Fault{FaultKind::NoReply, UpdateCommand::USBWrite, 427}));
}

TEST(EmulateOption, MalformedOrRepeatedSwitchIsAnError) {
  using Args = std::vector<std::string>;
  const EmulateOption bad = ParseEmulateOption(Args{"prog", "-Emulate:foo@MCUWrite"});
  EXPECT_TRUE(bad.emulate);
  EXPECT_EQ(bad.error,
            "-Emulate:foo@MCUWrite: unknown fault kind 'foo' (expected nowrite, noreply, badreply, badecho (write "
            "commands only) or unplug)");

  EXPECT_EQ(ParseEmulateOption(Args{"-Emulate:"}).error,
            "-Emulate:: empty fault (expected a unit: good, absent, KIND@COMMAND or KIND@COMMAND#N, each "
            "optionally followed by /after=MS, /leave=MS, /pull=MS, /serial=TEXT or /port=TEXT)");

  const EmulateOption twice = ParseEmulateOption(Args{"-Emulate", "-Emulate:unplug@MCUEnd"});
  EXPECT_TRUE(twice.emulate);
  EXPECT_EQ(twice.error, "-Emulate:unplug@MCUEnd: -Emulate given more than once");
  EXPECT_FALSE(twice.setting.fault);
}

}  // namespace
}  // namespace orvik
