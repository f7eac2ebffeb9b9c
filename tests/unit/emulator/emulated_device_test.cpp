#include "emulator/emulated_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace orvik {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kShortBound = 30ms;

ReportPacket WritePacket(UpdateCommand command, std::uint32_t address, std::uint8_t firstByte) {
  std::array<std::uint8_t, kBlockDataSize> data{};
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(firstByte + i);
  ReportPacket packet = MakeCommand(command);
  SetWriteBlock(packet, address, address / 16, data);
  return packet;
}

// One write and one read; the reply, or all zeros when either transfer failed.
ReportPacket Send(EmulatedDevice& device, const ReportPacket& packet) {
  ReportPacket reply{};
  device.WriteReport(packet);
  if (device.WaitWriteDone()) {
    device.ReadReport(reply);
    device.WaitReadDone();
  }
  return reply;
}

struct OpenDeviceTest : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(device.OpenDevice(DeviceVendorId, DeviceProductId)); }
  EmulatedDevice device{kShortBound};
};

TEST(EmulatedDeviceFlash, HoldsBootLoaderAndOldFirmwareUntilErased) {
  EmulatedDevice device;
  const auto mcu = device.McuFlash();
  const auto usb = device.UsbFlash();
  ASSERT_EQ(mcu.size(), 0x10000u);
  ASSERT_EQ(usb.size(), 0x2000u);
  EXPECT_EQ(std::count(mcu.begin(), mcu.begin() + 0x2000, 0xFF), 0);
  EXPECT_EQ(std::string(mcu.begin(), mcu.begin() + 8), "BOOTBOOT");
  EXPECT_EQ(mcu[0x2000], EmulatedDevice::OldFirmwareByte(0x2000));
  EXPECT_EQ(usb[0x1FFF], EmulatedDevice::OldFirmwareByte(0x11FFF));
}

TEST_F(OpenDeviceTest, EachEraseCoversItsControllerOnlyAndSparesTheBootLoader) {
  const auto before = device.McuFlash();
  Send(device, MakeCommand(UpdateCommand::USBErase));
  EXPECT_EQ(device.McuFlash(), before);
  const auto usb = device.UsbFlash();
  EXPECT_TRUE(std::all_of(usb.begin(), usb.end(), [](std::uint8_t b) { return b == 0xFF; }));

  Send(device, MakeCommand(UpdateCommand::MCUErase));
  const auto mcu = device.McuFlash();
  EXPECT_TRUE(std::equal(mcu.begin(), mcu.begin() + 0x2000, before.begin()));
  EXPECT_TRUE(std::all_of(mcu.begin() + 0x2000, mcu.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(OpenDeviceTest, ProgrammingOnlyClearsBitsSoAMissingEraseShows) {
  Send(device, WritePacket(UpdateCommand::MCUWrite, 0x2010, 0xA0));
  auto mcu = device.McuFlash();
  for (std::uint32_t i = 0; i < 16; ++i) {
    EXPECT_EQ(mcu[0x2010 + i], EmulatedDevice::OldFirmwareByte(0x2010 + i) & (0xA0 + i));
  }
  Send(device, MakeCommand(UpdateCommand::MCUErase));
  Send(device, WritePacket(UpdateCommand::MCUWrite, 0x2010, 0xA0));
  Send(device, WritePacket(UpdateCommand::MCUWrite, 0x2018, 0x0F));  // overlaps the second half
  mcu = device.McuFlash();
  EXPECT_EQ(mcu[0x200F], 0xFF);
  EXPECT_EQ(mcu[0x2010], 0xA0);
  EXPECT_EQ(mcu[0x2018], 0xA8 & 0x0F);
  EXPECT_EQ(mcu[0x2027], 0x0F + 15);
  EXPECT_EQ(mcu[0x2028], 0xFF);
}

TEST_F(OpenDeviceTest, RepliesCarryPrefixEchoAndZerosOnly) {
  for (const CommandInfo& info : kCommandTable) {
    std::array<std::uint8_t, 16> trailer;
    trailer.fill(0x77);
    ReportPacket packet = MakeCommand(info.command, trailer);
    if (info.echoesBlock) {
      packet = WritePacket(info.command, info.target == UpdateTarget::MCU ? 0x2040 : 0x10040, 0x31);
      std::fill(packet.begin() + 26, packet.end(), 0xEE);  // not echoed
    }
    const ReportPacket reply = Send(device, packet);
    ReportPacket expected{};
    const auto head = ExpectedReply(info.command);
    std::copy(head.begin(), head.end(), expected.begin());
    if (info.echoesBlock) std::copy(packet.begin() + 5, packet.begin() + 26, expected.begin() + 5);
    EXPECT_EQ(reply, expected) << info.name;
  }
}

TEST_F(OpenDeviceTest, UnknownCommandsAndOutOfRangeBlocksAreRefusedAndChangeNothing) {
  const auto mcuBefore = device.McuFlash();
  const auto usbBefore = device.UsbFlash();
  std::vector<ReportPacket> refused;
  for (int variant = 0; variant < 6; ++variant) {
    ReportPacket p = MakeCommand(UpdateCommand::MCUErase);
    if (variant == 0) p[0] = 0x01;
    if (variant == 1) p[1] = 0x54;
    if (variant == 2) p[2] = kDirectionReply;
    if (variant == 3) p[3] = 0x03;
    if (variant == 4) p[4] = 0xC4;
    if (variant == 5) p = MakeCommand(UpdateCommand::USBErase), p[4] = 0xC0;  // no USB start command
    refused.push_back(p);
  }
  for (std::uint32_t address : {0x0000u, 0x1FF0u, 0x1FF8u, 0xFFF8u, 0x10000u}) {
    refused.push_back(WritePacket(UpdateCommand::MCUWrite, address, 0));
  }
  for (std::uint32_t address : {0xFFF0u, 0x11FF8u, 0x12000u, 0xFFFFF0u}) {
    refused.push_back(WritePacket(UpdateCommand::USBWrite, address, 0));
  }
  for (const ReportPacket& packet : refused) {
    ReportPacket expected{0x00, 0x55, 0x49, packet[3], kRefusedOperation};
    EXPECT_EQ(Send(device, packet), expected) << FormatReportDump(packet);
  }
  EXPECT_EQ(device.McuFlash(), mcuBefore);
  EXPECT_EQ(device.UsbFlash(), usbBefore);

  // The very ends of both ranges are writable.
  EXPECT_EQ(Send(device, WritePacket(UpdateCommand::MCUWrite, 0xFFF0, 0))[4], 0xF2);
  EXPECT_EQ(Send(device, WritePacket(UpdateCommand::MCUWrite, 0x2000, 0))[4], 0xF2);
  EXPECT_EQ(Send(device, WritePacket(UpdateCommand::USBWrite, 0x11FF0, 0))[4], 0xF2);
  EXPECT_EQ(Send(device, WritePacket(UpdateCommand::USBWrite, 0x10000, 0))[4], 0xF2);
  EXPECT_EQ(device.RecordSize(), refused.size() + 4);
}

TEST_F(OpenDeviceTest, UnreadRepliesStayQueuedUpToTheCapacity) {
  for (int i = 0; i < 20; ++i) {
    device.WriteReport(WritePacket(UpdateCommand::MCUWrite, 0x2000 + 16 * i, 0));
    ASSERT_TRUE(device.WaitWriteDone());
  }
  EXPECT_EQ(device.QueuedReplies(), kReplyQueueCapacity);
  ReportPacket reply{};
  device.ReadReport(reply);
  ASSERT_TRUE(device.WaitReadDone());
  EXPECT_EQ(reply[7], 0x00);  // the first block's reply (address 0x002000)

  device.DiscardQueuedInput();
  EXPECT_EQ(device.QueuedReplies(), 0u);
  reply.fill(0xAB);
  device.ReadReport(reply);
  const auto start = Clock::now();
  EXPECT_FALSE(device.WaitReadDone());
  EXPECT_GE(Clock::now() - start, kShortBound);
  EXPECT_EQ(reply[0], 0xAB);  // nothing written into the buffer
}

TEST(EmulatedDeviceOpen, NeedsTheIdentityAndPresenceAndTransfersNeedAnOpenDevice) {
  EmulatedDevice device{10s};
  const auto start = Clock::now();
  EXPECT_EQ(Send(device, MakeCommand(UpdateCommand::MCUErase)), ReportPacket{});  // not open: fails at once
  EXPECT_EQ(device.RecordSize(), 0u);
  EXPECT_FALSE(device.OpenDevice(DeviceVendorId, DeviceProductId + 1));
  EXPECT_FALSE(device.OpenDevice(DeviceVendorId + 1, DeviceProductId));
  device.SetIdentity(0x1234, 0x5678);
  EXPECT_TRUE(device.OpenDevice(0x1234, 0x5678));
  EXPECT_FALSE(device.OpenDevice(DeviceVendorId, DeviceProductId));  // also closes
  EXPECT_FALSE(device.IsOpen());

  auto absent = MakeEmulatedDevice(FaultSetting{.absent = true, .fault = std::nullopt});
  EXPECT_FALSE(absent->OpenDevice(DeviceVendorId, DeviceProductId));
  absent->SetPresent(true);
  EXPECT_TRUE(absent->OpenDevice(DeviceVendorId, DeviceProductId));

  device.WriteReport(std::span<const std::uint8_t>(MakeCommand(UpdateCommand::MCUEnd).data(), 32));
  EXPECT_FALSE(device.WaitWriteDone());
  EXPECT_LT(Clock::now() - start, 5s);
}

TEST(EmulatedDeviceOpen, UnplugEndsAWaitingReadAtOnce) {
  EmulatedDevice device{20s};
  ASSERT_TRUE(device.OpenDevice(DeviceVendorId, DeviceProductId));
  ReportPacket reply{};
  device.ReadReport(reply);
  std::thread puller([&] {
    std::this_thread::sleep_for(20ms);
    device.Unplug();
  });
  const auto start = Clock::now();
  EXPECT_FALSE(device.WaitReadDone());
  EXPECT_LT(Clock::now() - start, 10s);
  puller.join();
  EXPECT_FALSE(device.OpenDevice(DeviceVendorId, DeviceProductId));
}

TEST_F(OpenDeviceTest, FaultsActOnTheDeviceAsDocumented) {
  // nowrite: recorded but not acted on; noreply: acted on, reply lost.
  device.SetFault(Fault{FaultKind::NoWrite, UpdateCommand::USBErase, 0});
  device.WriteReport(MakeCommand(UpdateCommand::USBErase));
  EXPECT_FALSE(device.WaitWriteDone());
  EXPECT_NE(device.UsbFlash()[0], 0xFF);
  device.SetFault(Fault{FaultKind::NoReply, UpdateCommand::USBErase, 0});
  device.WriteReport(MakeCommand(UpdateCommand::USBErase));
  EXPECT_TRUE(device.WaitWriteDone());
  EXPECT_EQ(device.UsbFlash()[0], 0xFF);
  EXPECT_EQ(device.QueuedReplies(), 0u);
  EXPECT_EQ(device.RecordSize(), 2u);

  // badecho: the altered byte is what the device programs.
  device.SetFault(Fault{FaultKind::BadEcho, UpdateCommand::USBWrite, 1});
  Send(device, WritePacket(UpdateCommand::USBWrite, 0x10000, 0x10));
  const ReportPacket sent = WritePacket(UpdateCommand::USBWrite, 0x10010, 0x10);
  const ReportPacket reply = Send(device, sent);
  EXPECT_EQ(reply[kBadEchoByte], sent[kBadEchoByte] ^ 0x01);
  EXPECT_EQ(device.UsbFlash()[0x10 + kBadEchoByte - kBlockDataOffset], sent[kBadEchoByte] ^ 0x01);
  EXPECT_EQ(device.UsbFlash()[kBadEchoByte - kBlockDataOffset], sent[kBadEchoByte]);  // block 0 was untouched

  // unplug: that command is not recorded, and the device stays gone.
  device.SetFault(Fault{FaultKind::Unplug, UpdateCommand::MCUEnd, 0});
  const std::size_t recorded = device.RecordSize();
  EXPECT_EQ(Send(device, MakeCommand(UpdateCommand::MCUEnd)), ReportPacket{});
  EXPECT_EQ(device.RecordSize(), recorded);
  EXPECT_FALSE(device.OpenDevice(DeviceVendorId, DeviceProductId));
}

TEST_F(OpenDeviceTest, LatencyDelaysEachTransfer) {
  device.SetLatency({.perTransfer = 3ms, .usbFrames = false});
  auto start = Clock::now();
  for (int i = 0; i < 3; ++i) Send(device, MakeCommand(UpdateCommand::MCUEnd));
  EXPECT_GE(Clock::now() - start, 18ms);

  // USB frames: each of the two transfers of an exchange ends on its own 1 ms boundary.
  device.SetLatency({.perTransfer = 0us, .usbFrames = true});
  start = Clock::now();
  for (int i = 0; i < 10; ++i) EXPECT_EQ(Send(device, MakeCommand(UpdateCommand::MCUEnd))[4], 0xF3);
  EXPECT_GE(Clock::now() - start, 19ms);

  // A device slower than the wait bound times out.
  device.SetLatency({.perTransfer = 10 * kShortBound, .usbFrames = false});
  device.WriteReport(MakeCommand(UpdateCommand::MCUEnd));
  EXPECT_FALSE(device.WaitWriteDone());
}

TEST(EmulatedDeviceThreads, RecordAndFlashCanBeReadWhileAnotherThreadDrivesTheDevice) {
  EmulatedDevice device;
  ASSERT_TRUE(device.OpenDevice(DeviceVendorId, DeviceProductId));
  std::atomic<bool> done{false};
  std::thread worker([&] {
    Send(device, MakeCommand(UpdateCommand::MCUErase));
    for (std::uint32_t a = 0x2000; a < 0x6000; a += 16) Send(device, WritePacket(UpdateCommand::MCUWrite, a, 0));
    done = true;
  });
  std::size_t seen = 0;
  while (!done) {
    const std::size_t now = device.Record().size();
    EXPECT_GE(now, seen);
    seen = now;
    EXPECT_EQ(device.McuFlash().size(), kMcuFlashSize);
  }
  worker.join();
  EXPECT_EQ(device.RecordSize(), 1u + 0x4000 / 16);
}

}  // namespace
}  // namespace orvik
