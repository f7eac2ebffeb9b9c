#include <gtest/gtest.h>

#include "support/test_support.h"
#include "update/protocol.h"

namespace orvik {
namespace {

ReportPacket Reply(std::initializer_list<std::uint8_t> head) {
  ReportPacket p{};
  std::copy(head.begin(), head.end(), p.begin());
  return p;
}

std::vector<int> Bytes(const ReportPacket& p, std::size_t from, std::size_t to) {
  return std::vector<int>(p.begin() + static_cast<long>(from), p.begin() + static_cast<long>(to) + 1);
}

TEST(Packets, EveryCommandHasItsHeaderAndZeroPayload) {
  const std::vector<std::vector<int>> headers = {{0x00, 0x55, 0x4F, 0x01, 0xC0}, {0x00, 0x55, 0x4F, 0x01, 0xC1},
                                                 {0x00, 0x55, 0x4F, 0x01, 0xC2}, {0x00, 0x55, 0x4F, 0x01, 0xC3},
                                                 {0x00, 0x55, 0x4F, 0x02, 0xC1}, {0x00, 0x55, 0x4F, 0x02, 0xC2},
                                                 {0x00, 0x55, 0x4F, 0x02, 0xC3}};
  for (std::size_t i = 0; i < kUpdateCommandCount; ++i) {
    const auto command = static_cast<UpdateCommand>(i);
    const ReportPacket p = MakeCommand(command);
    EXPECT_EQ(Bytes(p, 0, 4), headers[i]) << InfoOf(command).name;
    EXPECT_EQ(Bytes(p, 5, 32), std::vector<int>(28, 0));
    EXPECT_EQ(CommandOfPacket(p), command);
    EXPECT_EQ(CommandFromName(InfoOf(command).name), command);
    const auto reply = ExpectedReply(command);
    EXPECT_EQ(reply[2], 0x49);
    EXPECT_EQ(reply[4], headers[i][4] + 0x30);
  }
  EXPECT_EQ(CommandFromName("mcuwrite"), std::nullopt);
}

TEST(Packets, StartUpdateCarriesTheShippedTrailer) {
  const auto& image = test::ShippedImage();
  const ReportPacket p =
      MakeCommand(UpdateCommand::StartUpdate, std::span<const std::uint8_t, 16>(image.data() + 0xFFF0, 16));
  EXPECT_EQ(Bytes(p, 5, 8), std::vector<int>(4, 0));
  EXPECT_EQ(Bytes(p, 9, 24), std::vector<int>(image.begin() + 0xFFF0, image.end() - 0x2000));
  EXPECT_EQ(Bytes(p, 11, 12), (std::vector<int>{0x01, 0x21}));
  EXPECT_EQ(Bytes(p, 20, 22), (std::vector<int>{0x00, 0x9E, 0xC0}));
  EXPECT_EQ(Bytes(p, 25, 32), std::vector<int>(8, 0));
  // Other commands ignore a trailer.
  EXPECT_EQ(MakeCommand(UpdateCommand::MCUEnd, std::span<const std::uint8_t, 16>(image.data() + 0xFFF0, 16)),
            MakeCommand(UpdateCommand::MCUEnd));
}

TEST(Packets, WriteBlockAddressIndexAndData) {
  ReportPacket p = MakeCommand(UpdateCommand::MCUWrite);
  std::array<std::uint8_t, 16> data{};
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
  SetWriteBlock(p, 0x2000, 0, data);
  EXPECT_EQ(Bytes(p, 5, 9), (std::vector<int>{0x00, 0x20, 0x00, 0x00, 0x00}));
  SetWriteBlock(p, 0x2040, 4, data);
  EXPECT_EQ(Bytes(p, 5, 9), (std::vector<int>{0x00, 0x20, 0x40, 0x00, 0x00}));
  SetWriteBlock(p, 0x11AB0, 427, data);
  EXPECT_EQ(Bytes(p, 5, 9), (std::vector<int>{0x01, 0x1A, 0xB0, 0x00, 0x03}));
  EXPECT_EQ(Bytes(p, 10, 25), std::vector<int>(data.begin(), data.end()));
  EXPECT_EQ(Bytes(p, 0, 4), (std::vector<int>{0x00, 0x55, 0x4F, 0x01, 0xC2})) << "the header stays";
  EXPECT_EQ(Bytes(p, 26, 32), std::vector<int>(7, 0));
  SetWriteBlock(p, 0x1234567, 1, data);
  EXPECT_EQ(Bytes(p, 5, 7), (std::vector<int>{0x23, 0x45, 0x67})) << "only the low 24 bits";
}

TEST(Packets, RepliesAreJudgedByPrefixReportIdAndEcho) {
  const ReportPacket erase = MakeCommand(UpdateCommand::MCUErase);
  ReportPacket good = Reply({0x00, 0x55, 0x49, 0x01, 0xF1});
  std::fill(good.begin() + 5, good.end(), 0xEE);  // other bytes of an erase reply are never examined
  EXPECT_TRUE(ReplyMatches(UpdateCommand::MCUErase, erase, good));
  ReportPacket numbered = good;
  numbered[0] = 0x01;
  EXPECT_FALSE(ReplyMatches(UpdateCommand::MCUErase, erase, numbered)) << "report ID 1";
  EXPECT_FALSE(ReplyMatches(UpdateCommand::USBErase, MakeCommand(UpdateCommand::USBErase), good))
      << "the MCU's erase reply does not answer the USB erase";

  ReportPacket write = MakeCommand(UpdateCommand::MCUWrite);
  std::array<std::uint8_t, 16> data{};
  data.fill(0x5A);
  SetWriteBlock(write, 0x2010, 1, data);
  ReportPacket echo = write;
  echo[2] = 0x49;
  echo[4] = 0xF2;
  std::fill(echo.begin() + 26, echo.end(), 0x77);  // bytes after the echo are never examined
  EXPECT_TRUE(ReplyMatches(UpdateCommand::MCUWrite, write, echo));
  for (std::size_t i = 5; i <= 25; ++i) {
    ReportPacket wrong = echo;
    wrong[i] ^= 0x01;
    EXPECT_FALSE(ReplyMatches(UpdateCommand::MCUWrite, write, wrong)) << "byte " << i;
  }
}

TEST(Packets, DumpIsAlways164Characters) {
  EXPECT_EQ(FormatReportDump(ReportPacket{}),
            "0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 "
            "0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00");
  const std::string erase = FormatReportDump(MakeCommand(UpdateCommand::MCUErase));
  EXPECT_EQ(erase.size(), kReportDumpLength);
  EXPECT_EQ(erase.substr(0, 24), "0x00 0x55 0x4f 0x01 0xc1");
  ReportPacket all;
  all.fill(0xAB);
  EXPECT_EQ(FormatReportDump(all).size(), kReportDumpLength);
}

}  // namespace
}  // namespace orvik
