// The power request that keeps Windows awake while an update runs, watched
// through the hold's power calls (Wine's are stubs that show nothing): what
// is asked for and given back, the fallback where there are no power
// requests, and the span of a whole run of the command line.
#include "app/common/update_hold_win32.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/cli/cli.h"
#include "app/common/update_hold.h"
#include "emulator/emulated_device.h"
#include "log/utf.h"
#include "support/test_support.h"

namespace orvik {
namespace {

// What the fake calls were asked, in order; and what they answer.
std::vector<std::string> g_calls;
bool g_createFails = false;
bool g_setFails = false;
// Seen at each call, for the span of a run.
const EmulatedDevice* g_device = nullptr;
const test::ScopedLog* g_log = nullptr;
HANDLE const kRequest = reinterpret_cast<HANDLE>(0x1234);

void Record(std::string call) {
  if (g_device != nullptr) call += " after " + std::to_string(g_device->Record().size()) + " commands";
  if (g_log != nullptr && !g_log->Lines().empty()) call += ", log ends '" + g_log->Lines().back() + "'";
  g_calls.push_back(call);
}

HANDLE WINAPI FakeCreate(PREASON_CONTEXT context) {
  const std::wstring reason = context->Reason.SimpleReasonString;
  Record("create '" + Utf16ToUtf8(std::u16string(reason.begin(), reason.end())) + "'" +
         (context->Flags == POWER_REQUEST_CONTEXT_SIMPLE_STRING ? "" : " without a simple string"));
  return g_createFails ? INVALID_HANDLE_VALUE : kRequest;
}
BOOL WINAPI FakeSet(HANDLE request, POWER_REQUEST_TYPE type) {
  Record(std::string("set") + (request == kRequest && type == PowerRequestSystemRequired ? "" : " (wrong)"));
  return g_setFails ? FALSE : TRUE;
}
BOOL WINAPI FakeClear(HANDLE request, POWER_REQUEST_TYPE type) {
  Record(std::string("clear") + (request == kRequest && type == PowerRequestSystemRequired ? "" : " (wrong)"));
  return TRUE;
}
BOOL WINAPI FakeClose(HANDLE request) {
  Record(std::string("close") + (request == kRequest ? "" : " (wrong)"));
  return TRUE;
}
// The thread's execution state as the fake keeps it.
EXECUTION_STATE g_threadState = ES_CONTINUOUS;
EXECUTION_STATE WINAPI FakeThreadState(EXECUTION_STATE state) {
  Record(state == (ES_CONTINUOUS | ES_SYSTEM_REQUIRED) ? "system required" : state == ES_CONTINUOUS ? "continuous" : "?");
  const EXECUTION_STATE before = g_threadState;
  g_threadState = state;
  return before;
}

// Installs the fake calls (or, with `powerRequests` false, none of the power
// request calls) for the object's lifetime.
class FakePowerCalls {
 public:
  explicit FakePowerCalls(bool powerRequests = true) {
    app::PowerCalls calls{FakeCreate, FakeSet, FakeClear, FakeClose, FakeThreadState};
    if (!powerRequests) calls.createRequest = nullptr;
    g_calls.clear();
    m_before = app::UsePowerCalls(calls);
  }
  ~FakePowerCalls() {
    app::UsePowerCalls(m_before);
    g_createFails = g_setFails = false;
  }

 private:
  app::PowerCalls m_before;
};

TEST(PowerRequest, IsSetForTheHoldAndGivenBackOrFallsBackToTheThreadsExecutionState) {
  struct Case {
    const char* name;
    bool powerRequests, createFails, setFails;
    std::vector<std::string> during, after;
  };
  const std::vector<std::string> asked = {"create 'Firmware update in progress'", "set"};
  const Case cases[] = {
      {"power requests", true, false, false, asked, {"clear", "close"}},
      {"no power requests", false, false, false, {"system required"}, {"continuous"}},
      {"request refused", true, true, false, {asked[0], "system required"}, {"continuous"}},
      {"request not set", true, false, true, {asked[0], "set", "close", "system required"}, {"continuous"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FakePowerCalls fake(c.powerRequests);
    g_createFails = c.createFails;
    g_setFails = c.setFails;
    std::string notHeld;
    std::unique_ptr<app::Held> held = app::HoldOffSleep(app::HoldScope::Update, notHeld);
    EXPECT_NE(held, nullptr);
    EXPECT_EQ(notHeld, "");
    EXPECT_EQ(g_calls, c.during);
    g_calls.clear();
    held.reset();
    EXPECT_EQ(g_calls, c.after);
  }
}

TEST(PowerRequest, AUnitsFallbackInsideAStationsLeavesTheStationsInPlace) {
  const FakePowerCalls fake(false);
  std::string notHeld;
  std::unique_ptr<app::Held> station = app::HoldOffSleep(app::HoldScope::Station, notHeld);
  app::HoldOffSleep(app::HoldScope::Update, notHeld).reset();
  EXPECT_EQ(g_threadState, ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  station.reset();
  EXPECT_EQ(g_threadState, ES_CONTINUOUS);
}

TEST(PowerRequest, IsHeldFromTheClickUntilTheWorkersLastLogLine) {
  test::ScopedLog log;
  EmulatedDevice device{std::chrono::milliseconds(40)};
  const TableResources resources{EmbeddedResourceTable()};
  std::ostringstream out, err;
  const std::vector<std::string> arguments = {"orvik-updater-cli"};
  cli::TerminalWindow window(out, err, false);
  CORVIKUpdaterDlg dialog(window, device, resources, arguments);

  const FakePowerCalls fake;
  g_device = &device;
  g_log = &log;
  const int status = cli::RunDialog(dialog, window, cli::ParseOptions(arguments));
  g_device = nullptr;
  g_log = nullptr;
  EXPECT_EQ(status, cli::kExitCompleted);
  const std::string before = " after 0 commands, log ends 'MCU = Y1-3, USB = Y1-1'";
  const std::string afterAll =
      " after " + std::to_string(device.Record().size()) + " commands, log ends 'Update complete'";
  EXPECT_EQ(g_calls, (std::vector<std::string>{"create 'Firmware update in progress'" + before, "set" + before,
                                              "clear" + afterAll, "close" + afterAll}));
}

}  // namespace
}  // namespace orvik
