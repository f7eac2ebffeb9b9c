// A device that is present but cannot be opened: the dialog's start-up says
// "Can't find device" as always, then why and what to do about it.
#include <gtest/gtest.h>

#include "dialog_fixture.h"

namespace orvik::test {
namespace {

constexpr char kCantFind[] = "Can't find device, Please connect before run this updater!";

// A search that finds the device but cannot open it, for the given reason.
class RefusingDevice final : public HidDevice {
 public:
  explicit RefusingDevice(OpenRefusal refusal) : m_refusal(std::move(refusal)) {}
  bool OpenDevice(std::uint32_t, std::uint32_t) override { return false; }
  void WriteReport(std::span<const std::uint8_t>) override { ++writes; }
  bool WaitWriteDone() override { return false; }
  void ReadReport(std::span<std::uint8_t>) override {}
  bool WaitReadDone() override { return false; }
  void DiscardQueuedInput() override {}
  OpenRefusal LastOpenRefusal() const override { return m_refusal; }
  int writes = 0;

 private:
  OpenRefusal m_refusal;
};

struct RefusalCase {
  const char* name;
  OpenRefusal refusal;
  std::vector<std::string> boxes;
};

class RefusalTest : public DialogFixture, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, CantFindComesFirstThenTheReasonThenTheEnd) {
  const RefusalCase& c = GetParam();
  RefusingDevice refusing(c.refusal);
  Start({"orvik-updater.exe"}, &refusing);

  EXPECT_EQ(window.BoxTexts(), c.boxes);
  const auto lines = log.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Can't find device");
  // The first box before the log line, every later box after it, and the
  // dialog ends only after the last box.
  const auto boxes = window.Boxes();
  EXPECT_EQ(boxes[0].logLinesBefore, lines.size() - 1);
  for (std::size_t i = 1; i < boxes.size(); ++i) EXPECT_EQ(boxes[i].logLinesBefore, lines.size());
  EXPECT_TRUE(window.Ended());
  EXPECT_EQ(window.LogLinesAtEnd(), lines.size());
  EXPECT_EQ(refusing.writes, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusalTest,
    ::testing::Values(
        RefusalCase{"NothingPresent", {}, {kCantFind}},
        RefusalCase{
            "PermissionDenied",
            {"Permission denied",
             "Install the udev rule 70-orvik-updater.rules as the README says, then plug the device in again."},
            {kCantFind,
             "The device is connected but cannot be opened: Permission denied.\n"
             "Install the udev rule 70-orvik-updater.rules as the README says, then plug the device in again."}},
        RefusalCase{
            "InUse",
            {kInUseByAnotherUpdater, kInUseRemedy},
            {kCantFind,
             std::string("The device is connected but cannot be opened: in use by another updater.\n") + kInUseRemedy}},
        RefusalCase{"ReasonWithoutRemedy",
                    {"Access is denied", ""},
                    {kCantFind, "The device is connected but cannot be opened: Access is denied."}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvik::test
