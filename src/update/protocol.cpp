#include "update/protocol.h"

#include <algorithm>
#include <cstdio>

namespace orvik {

std::optional<UpdateCommand> CommandFromName(std::string_view name) {
  for (const CommandInfo& info : kCommandTable) {
    if (name == info.name) return info.command;
  }
  return std::nullopt;
}

std::optional<UpdateCommand> CommandOfPacket(const ReportPacket& packet) {
  if (packet[0] != 0 || packet[1] != kReportMarker || packet[2] != kDirectionCommand) return std::nullopt;
  for (const CommandInfo& info : kCommandTable) {
    if (packet[3] == static_cast<std::uint8_t>(info.target) && packet[4] == info.operation) return info.command;
  }
  return std::nullopt;
}

ReportPacket MakeCommand(UpdateCommand command) {
  const CommandInfo& info = InfoOf(command);
  ReportPacket packet{};
  packet[1] = kReportMarker;
  packet[2] = kDirectionCommand;
  packet[3] = static_cast<std::uint8_t>(info.target);
  packet[4] = info.operation;
  return packet;
}

ReportPacket MakeCommand(UpdateCommand command, std::span<const std::uint8_t, 16> trailer) {
  ReportPacket packet = MakeCommand(command);
  if (command == UpdateCommand::StartUpdate) {
    std::copy(trailer.begin(), trailer.end(), packet.begin() + kTrailerPayloadOffset);
  }
  return packet;
}

std::array<std::uint8_t, 5> ExpectedReply(UpdateCommand command) {
  const CommandInfo& info = InfoOf(command);
  return {0x00, kReportMarker, kDirectionReply, static_cast<std::uint8_t>(info.target), info.replyOperation};
}

void SetWriteBlock(ReportPacket& packet, std::uint32_t address, std::uint32_t blockNumber,
                   std::span<const std::uint8_t, kBlockDataSize> data) {
  const std::uint32_t index = blockNumber % 4;
  packet[kBlockAddressOffset + 0] = static_cast<std::uint8_t>(address >> 16);
  packet[kBlockAddressOffset + 1] = static_cast<std::uint8_t>(address >> 8);
  packet[kBlockAddressOffset + 2] = static_cast<std::uint8_t>(address);
  packet[kBlockIndexOffset + 0] = static_cast<std::uint8_t>(index >> 8);
  packet[kBlockIndexOffset + 1] = static_cast<std::uint8_t>(index);
  std::copy(data.begin(), data.end(), packet.begin() + kBlockDataOffset);
}

bool ReplyMatches(UpdateCommand command, const ReportPacket& sent, const ReportPacket& received) {
  const auto expected = ExpectedReply(command);
  if (!std::equal(expected.begin(), expected.end(), received.begin())) return false;
  if (InfoOf(command).echoesBlock) {
    return std::equal(sent.begin() + kEchoFirst, sent.begin() + kEchoLast + 1, received.begin() + kEchoFirst);
  }
  return true;
}

ExchangeOutcome ExchangeReport(HidDevice& device, UpdateCommand command, const ReportPacket& send,
                               ReportPacket& reply) {
  device.WriteReport(send);
  if (!device.WaitWriteDone()) return ExchangeOutcome::WriteFail;
  reply.fill(0);
  device.ReadReport(reply);
  if (!device.WaitReadDone()) return ExchangeOutcome::GetReplyFail;
  return ReplyMatches(command, send, reply) ? ExchangeOutcome::Accepted : ExchangeOutcome::CompareFail;
}

std::string FormatReportDump(const ReportPacket& packet) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(kReportDumpLength);
  for (std::size_t i = 0; i < packet.size(); ++i) {
    if (i != 0) text.push_back(' ');
    text += "0x";
    text.push_back(kHex[packet[i] >> 4]);
    text.push_back(kHex[packet[i] & 0x0F]);
  }
  return text;
}

}  // namespace orvik
