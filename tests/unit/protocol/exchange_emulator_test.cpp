// ExchangeReport against the emulated device: whole updates scripted command
// by command, and the outcome of each fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "emulator/emulated_device.h"
#include "support/test_support.h"
#include "update/protocol.h"

namespace orvik {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::uint32_t EndAddress(const FirmwareImage& image, std::size_t trailerOffset) {
  return (std::uint32_t{image[trailerOffset + 11]} << 16) | (std::uint32_t{image[trailerOffset + 12]} << 8) |
         image[trailerOffset + 13];
}

// Every byte differs from its neighbours and from the device's old firmware;
// the MCU section runs to the very end of flash, the USB one leaves a partial
// block unsent.
FirmwareImage SyntheticImage() {
  FirmwareImage image{};
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8) + 1);
  const std::uint8_t mcuEnd[] = {0x01, 0x00, 0x00};  // 0x10000
  const std::uint8_t usbEnd[] = {0x01, 0x1F, 0x08};  // 0x11F08
  std::copy(std::begin(mcuEnd), std::end(mcuEnd), image.begin() + kMcuTrailerOffset + 11);
  std::copy(std::begin(usbEnd), std::end(usbEnd), image.begin() + kUsbTrailerOffset + 11);
  return image;
}

struct Conversation {
  ExchangeOutcome outcome = ExchangeOutcome::Accepted;
  std::size_t exchanges = 0;  // including the failed one
  UpdateCommand last = UpdateCommand::StartUpdate;
  ReportPacket reply{};
  std::vector<ReportPacket> sent;
};

// The update's command sequence for both controllers, stopping at the first
// exchange not accepted.
Conversation RunUpdate(HidDevice& device, const FirmwareImage& image) {
  Conversation run;
  device.DiscardQueuedInput();
  const auto exchange = [&](UpdateCommand command, const ReportPacket& packet) {
    run.sent.push_back(packet);
    run.last = command;
    ++run.exchanges;
    run.outcome = ExchangeReport(device, command, packet, run.reply);
    return run.outcome == ExchangeOutcome::Accepted;
  };
  const auto section = [&](UpdateCommand command, std::uint32_t first, std::uint32_t blocks, std::size_t offset) {
    ReportPacket packet = MakeCommand(command);
    for (std::uint32_t n = 0; n < blocks; ++n) {
      SetWriteBlock(packet, first + 16 * n, n, std::span<const std::uint8_t, 16>(image.data() + offset + 16 * n, 16));
      if (!exchange(command, packet)) return false;
    }
    return true;
  };
  const std::uint32_t mcuBlocks = (EndAddress(image, kMcuTrailerOffset) - 0x4000) / 16;
  const std::uint32_t usbBlocks = (EndAddress(image, kUsbTrailerOffset) - 0x10000) / 16;
  const auto trailer = std::span<const std::uint8_t, 16>(image.data() + kMcuTrailerOffset, 16);
  exchange(UpdateCommand::StartUpdate, MakeCommand(UpdateCommand::StartUpdate, trailer)) &&
      exchange(UpdateCommand::MCUErase, MakeCommand(UpdateCommand::MCUErase)) &&
      section(UpdateCommand::MCUWrite, 0x2000, 512, 0x0000) &&
      section(UpdateCommand::MCUWrite, 0x4000, mcuBlocks, 0x4000) &&
      exchange(UpdateCommand::MCUEnd, MakeCommand(UpdateCommand::MCUEnd)) &&
      exchange(UpdateCommand::USBErase, MakeCommand(UpdateCommand::USBErase)) &&
      section(UpdateCommand::USBWrite, 0x10000, usbBlocks, 0x10000) &&
      exchange(UpdateCommand::USBEnd, MakeCommand(UpdateCommand::USBEnd));
  return run;
}

// What the device must hold after a complete update with `image`.
void ExpectDeviceHolds(const EmulatedDevice& device, const FirmwareImage& image) {
  const std::uint32_t mcuEnd = 0x4000 + (EndAddress(image, kMcuTrailerOffset) - 0x4000) / 16 * 16;
  const std::uint32_t usbEnd = 0x10000 + (EndAddress(image, kUsbTrailerOffset) - 0x10000) / 16 * 16;
  std::vector<std::uint8_t> mcu(kMcuFlashSize, 0xFF);
  for (std::uint32_t a = 0; a < 0x2000; ++a) mcu[a] = EmulatedDevice::BootLoaderByte(a);
  std::copy(image.begin(), image.begin() + 0x2000, mcu.begin() + 0x2000);
  std::copy(image.begin() + 0x4000, image.begin() + mcuEnd, mcu.begin() + 0x4000);
  std::vector<std::uint8_t> usb(kUsbFlashSize, 0xFF);
  std::copy(image.begin() + 0x10000, image.begin() + usbEnd, usb.begin());
  EXPECT_TRUE(device.McuFlash() == mcu);
  EXPECT_TRUE(device.UsbFlash() == usb);
}

struct ExchangeEmulatorTest : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(device.OpenDevice(DeviceVendorId, DeviceProductId)); }
  EmulatedDevice device{50ms};
};

TEST_F(ExchangeEmulatorTest, AFullUpdateOfTheShippedImageLeavesItOnTheDevice) {
  const FirmwareImage& image = test::ShippedImage();
  const Conversation run = RunUpdate(device, image);
  EXPECT_EQ(run.outcome, ExchangeOutcome::Accepted);
  EXPECT_EQ(run.exchanges, 2461u);  // 1 + 1 + 512 + 1516 + 1 + 1 + 428 + 1
  EXPECT_EQ(device.Record(), run.sent);
  ExpectDeviceHolds(device, image);
}

TEST_F(ExchangeEmulatorTest, AFullUpdateReachingTheEndsOfFlashLeavesTheImageAtTheRightAddresses) {
  const FirmwareImage image = SyntheticImage();
  const Conversation run = RunUpdate(device, image);
  EXPECT_EQ(run.outcome, ExchangeOutcome::Accepted);
  EXPECT_EQ(run.exchanges, 2u + 512 + 3072 + 2 + 496 + 1);
  EXPECT_EQ(device.Record(), run.sent);
  ExpectDeviceHolds(device, image);
}

TEST_F(ExchangeEmulatorTest, EachFaultGivesItsOutcomeAtTheChosenCommand) {
  struct Case {
    const char* fault;
    ExchangeOutcome outcome;
    std::size_t exchanges;
  };
  const Case cases[] = {
      {"nowrite@StartUpdate", ExchangeOutcome::WriteFail, 1},
      {"nowrite@MCUWrite#512", ExchangeOutcome::WriteFail, 2 + 512 + 1},
      {"noreply@USBErase", ExchangeOutcome::GetReplyFail, 2 + 512 + 1516 + 2},
      {"noreply@MCUWrite#3", ExchangeOutcome::GetReplyFail, 2 + 4},
      {"badreply@MCUEnd", ExchangeOutcome::CompareFail, 2 + 512 + 1516 + 1},
      {"badreply@USBEnd", ExchangeOutcome::CompareFail, 2461},
      {"badecho@USBWrite#427", ExchangeOutcome::CompareFail, 2460},
      {"badecho@MCUWrite", ExchangeOutcome::CompareFail, 3},
      {"unplug@MCUErase", ExchangeOutcome::WriteFail, 2},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto setting = ParseFaultSetting(c.fault, error);
    ASSERT_TRUE(setting) << error;
    EmulatedDevice faulty{50ms};
    faulty.ApplySetting(*setting);
    ASSERT_TRUE(faulty.OpenDevice(DeviceVendorId, DeviceProductId));
    const Conversation run = RunUpdate(faulty, test::ShippedImage());
    EXPECT_EQ(run.outcome, c.outcome) << c.fault;
    EXPECT_EQ(run.exchanges, c.exchanges) << c.fault;
    EXPECT_EQ(run.last, setting->fault->command) << c.fault;
    if (c.outcome == ExchangeOutcome::GetReplyFail) {
      EXPECT_EQ(FormatReportDump(run.reply).find_first_not_of("0x "), std::string::npos);
    }
  }
}

TEST(ExchangeEmulatorUnplug, AfterAnUnplugEveryExchangeFailsAtOnce) {
  EmulatedDevice device{5s};
  device.SetFault(Fault{FaultKind::Unplug, UpdateCommand::MCUWrite, 100});
  ASSERT_TRUE(device.OpenDevice(DeviceVendorId, DeviceProductId));
  const auto start = Clock::now();
  EXPECT_EQ(RunUpdate(device, test::ShippedImage()).outcome, ExchangeOutcome::WriteFail);
  ReportPacket reply{};
  EXPECT_EQ(ExchangeReport(device, UpdateCommand::MCUEnd, MakeCommand(UpdateCommand::MCUEnd), reply),
            ExchangeOutcome::WriteFail);
  device.ReadReport(reply);
  EXPECT_FALSE(device.WaitReadDone());
  EXPECT_LT(Clock::now() - start, 2s);  // far below one wait bound
}

TEST_F(ExchangeEmulatorTest, FaultCountsRestartWithEachRun) {
  device.SetFault(Fault{FaultKind::BadReply, UpdateCommand::MCUWrite, 1});
  for (int attempt = 0; attempt < 2; ++attempt) {
    const Conversation run = RunUpdate(device, test::ShippedImage());
    EXPECT_EQ(run.outcome, ExchangeOutcome::CompareFail);
    EXPECT_EQ(run.exchanges, 4u);
  }
  // Within a run the fault shows once; setting it again restarts the counts.
  ReportPacket reply{};
  ReportPacket block = MakeCommand(UpdateCommand::MCUWrite);
  SetWriteBlock(block, 0x2000, 0, std::array<std::uint8_t, 16>{});
  EXPECT_EQ(ExchangeReport(device, UpdateCommand::MCUWrite, block, reply), ExchangeOutcome::Accepted);
  device.SetFault(Fault{FaultKind::BadReply, UpdateCommand::MCUWrite, 1});
  EXPECT_EQ(ExchangeReport(device, UpdateCommand::MCUWrite, block, reply), ExchangeOutcome::Accepted);
  EXPECT_EQ(ExchangeReport(device, UpdateCommand::MCUWrite, block, reply), ExchangeOutcome::CompareFail);
}

TEST_F(ExchangeEmulatorTest, AStaleReplyIsTakenUnlessTheQueueIsDiscarded) {
  ReportPacket stale{0x00, 0x55, 0x49, 0x01, 0xF2};
  const ReportPacket erase = MakeCommand(UpdateCommand::MCUErase);
  ReportPacket reply{};
  device.QueueStaleReply(stale);
  EXPECT_EQ(ExchangeReport(device, UpdateCommand::MCUErase, erase, reply), ExchangeOutcome::CompareFail);
  EXPECT_EQ(reply, stale);

  device.DiscardQueuedInput();  // drops the erase's own reply, now stale too
  device.QueueStaleReply(stale);
  device.DiscardQueuedInput();
  EXPECT_EQ(ExchangeReport(device, UpdateCommand::MCUErase, erase, reply), ExchangeOutcome::Accepted);
}

}  // namespace
}  // namespace orvik
