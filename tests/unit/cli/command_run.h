// Runs the command line in this process as main() does, over a device the
// test gives it, and reads back its JSON events: shared by the command
// line's tests here and in unit/cli_linux.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "emulator/emulated_device_set.h"
#include "support/test_support.h"

namespace orvik::cli {

// The environment main() builds for `arguments` (the program's path first).
inline CommandEnvironment TestEnvironment(SearchableHidDevice& device, const Resources& resources,
                                          const std::vector<std::string>& arguments, std::ostream& out,
                                          std::ostream& err, EventStream* events = nullptr,
                                          std::chrono::milliseconds poll = kDevicePoll) {
  return CommandEnvironment{.device = device,
                            .resources = resources,
                            .arguments = arguments,
                            .options = ParseOptions(arguments),
                            .out = out,
                            .err = err,
                            .interactive = false,
                            .events = events,
                            .poll = poll};
}

// Runs the command for `arguments`, which must be valid; with `json` its
// events go to `out`.
inline int RunCommandLine(SearchableHidDevice& device, const Resources& resources,
                          const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                          bool json, std::chrono::milliseconds poll = kDevicePoll) {
  EventStream events(out);
  CommandEnvironment env = TestEnvironment(device, resources, arguments, out, err, json ? &events : nullptr, poll);
  EXPECT_EQ(env.options.error, "");
  return RunCommand(env);
}

// Every line of `text` is one JSON object.
inline std::vector<Json> JsonLines(const std::string& text) {
  std::vector<Json> events;
  for (const std::string& line : test::SplitLines(text)) {
    Json event = Json::parse(line, nullptr, /*allow_exceptions=*/false);
    EXPECT_TRUE(event.is_object()) << line;
    if (event.is_object()) events.push_back(std::move(event));
  }
  return events;
}

inline std::vector<Json> OfKind(const std::vector<Json>& events, const std::string& kind) {
  std::vector<Json> found;
  std::copy_if(events.begin(), events.end(), std::back_inserter(found),
               [&](const Json& e) { return e["event"] == kind; });
  return found;
}

// Runs the command over the units an -Emulate option describes, with
// fresh output each run.
class EmulatedCommandTest : public ::testing::Test {
 protected:
  // `prepare`, when set, is given the units first.
  int Run(const std::string& emulate, std::vector<std::string> arguments, bool json = false) {
    using namespace std::chrono_literals;
    const std::vector<std::string> emulateArgs{"orvik-updater-cli", emulate};
    const EmulateOption option = ParseEmulateOption(emulateArgs);
    EXPECT_EQ(option.error, "");
    set = std::make_unique<EmulatedDeviceSet>(option.units, 200ms);
    if (prepare) prepare(*set);
    arguments.insert(arguments.begin(), {"orvik-updater-cli", emulate});
    out.str("");
    err.str("");
    return RunCommandLine(*set, resources, arguments, out, err, json, 20ms);
  }

  std::vector<Json> Events() const { return JsonLines(out.str()); }
  std::vector<Json> Events(const std::string& kind) const { return OfKind(Events(), kind); }

  test::ScopedLog log;
  TableResources resources{EmbeddedResourceTable()};
  std::unique_ptr<EmulatedDeviceSet> set;
  std::function<void(EmulatedDeviceSet&)> prepare;
  std::ostringstream out;
  std::ostringstream err;
};

}  // namespace orvik::cli
