// The update command protocol: seven commands, each one 33-byte report
// answered by one 33-byte reply, judged before anything else is sent.
//
//   byte 0     report ID, always 0
//   byte 1     0x55
//   byte 2     direction: 0x4F command, 0x49 reply
//   byte 3     target: 0x01 MCU, 0x02 USB
//   byte 4     operation: 0xC0..0xC3 command, 0xF0..0xF3 reply
//   bytes 5-32 payload, zero unless a command says otherwise
//
// StartUpdate carries the MCU section trailer in bytes 9-24. The write
// commands carry a block: bytes 5-7 device address (24-bit big-endian), 8-9
// block index (block number mod 4, big-endian), 10-25 data; the device must
// echo bytes 5-25 in its reply.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "hid/hid_device.h"

namespace orvik {

using ReportPacket = std::array<std::uint8_t, kReportSize>;

enum class UpdateTarget : std::uint8_t { MCU = 0x01, USB = 0x02 };

enum class UpdateCommand { StartUpdate, MCUErase, MCUWrite, MCUEnd, USBErase, USBWrite, USBEnd };
inline constexpr std::size_t kUpdateCommandCount = 7;

inline constexpr std::uint8_t kReportMarker = 0x55;
inline constexpr std::uint8_t kDirectionCommand = 0x4F;
inline constexpr std::uint8_t kDirectionReply = 0x49;

// Payload offsets.
inline constexpr std::size_t kTrailerPayloadOffset = 9;  // StartUpdate: 16 bytes
inline constexpr std::size_t kBlockAddressOffset = 5;    // 3 bytes
inline constexpr std::size_t kBlockIndexOffset = 8;      // 2 bytes
inline constexpr std::size_t kBlockDataOffset = 10;      // 16 bytes
inline constexpr std::size_t kBlockDataSize = 16;
inline constexpr std::size_t kEchoFirst = 5;  // replies to writes echo bytes 5..25
inline constexpr std::size_t kEchoLast = 25;

// The one table of the protocol's bytes.
struct CommandInfo {
  UpdateCommand command;
  const char* name;  // "StartUpdate", "MCUErase", ...
  UpdateTarget target;
  std::uint8_t operation;       // command byte 4
  std::uint8_t replyOperation;  // reply byte 4
  bool echoesBlock;             // reply must echo bytes 5..25
};

inline constexpr std::array<CommandInfo, kUpdateCommandCount> kCommandTable{{
    {UpdateCommand::StartUpdate, "StartUpdate", UpdateTarget::MCU, 0xC0, 0xF0, false},
    {UpdateCommand::MCUErase, "MCUErase", UpdateTarget::MCU, 0xC1, 0xF1, false},
    {UpdateCommand::MCUWrite, "MCUWrite", UpdateTarget::MCU, 0xC2, 0xF2, true},
    {UpdateCommand::MCUEnd, "MCUEnd", UpdateTarget::MCU, 0xC3, 0xF3, false},
    {UpdateCommand::USBErase, "USBErase", UpdateTarget::USB, 0xC1, 0xF1, false},
    {UpdateCommand::USBWrite, "USBWrite", UpdateTarget::USB, 0xC2, 0xF2, true},
    {UpdateCommand::USBEnd, "USBEnd", UpdateTarget::USB, 0xC3, 0xF3, false},
}};

constexpr const CommandInfo& InfoOf(UpdateCommand command) {
  return kCommandTable[static_cast<std::size_t>(command)];
}

// The command whose name is `name` ("MCUWrite"), if any.
std::optional<UpdateCommand> CommandFromName(std::string_view name);

// The command whose bytes 0..4 are those of `packet`, if any.
std::optional<UpdateCommand> CommandOfPacket(const ReportPacket& packet);

// Bytes 0-4 of the command, 28 zero bytes; StartUpdate gets `trailer` at 9..24.
ReportPacket MakeCommand(UpdateCommand command, std::span<const std::uint8_t, 16> trailer);
ReportPacket MakeCommand(UpdateCommand command);

// The reply's expected bytes 0..4.
std::array<std::uint8_t, 5> ExpectedReply(UpdateCommand command);

// Writes bytes 5..25 of a write packet: the low 24 bits of `address`, the block
// index (blockNumber mod 4) and the 16 data bytes. Bytes 0-4 and 26-32 stay.
void SetWriteBlock(ReportPacket& packet, std::uint32_t address, std::uint32_t blockNumber,
                   std::span<const std::uint8_t, kBlockDataSize> data);

// True when `received` has the expected bytes 0..4 (report ID included) and,
// for the write commands, echoes bytes 5..25 of `sent`.
bool ReplyMatches(UpdateCommand command, const ReportPacket& sent, const ReportPacket& received);

enum class ExchangeOutcome {
  Accepted,
  WriteFail,     // the write did not complete within the wait bound
  GetReplyFail,  // no reply within the wait bound
  CompareFail,   // a reply arrived and was rejected
};

// Writes `send`, reads one reply into `reply` (zeroed first) and judges it.
// `reply` keeps what arrived whatever the outcome.
ExchangeOutcome ExchangeReport(HidDevice& device, UpdateCommand command, const ReportPacket& send,
                               ReportPacket& reply);

// "0x00 0x55 0x4f ..." : 33 groups, single blanks, always 164 characters.
std::string FormatReportDump(const ReportPacket& packet);
inline constexpr std::size_t kReportDumpLength = 164;

}  // namespace orvik
