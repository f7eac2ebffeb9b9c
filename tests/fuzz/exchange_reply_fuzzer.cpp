// Reply handling over arbitrary replies: ExchangeReport against a device that
// answers with the fuzzer's bytes, of any length, and may fail either wait.
//
// Input: byte 0 picks the command (low 3 bits, mod 7) and whether the write
// (bit 3) and the read (bit 4) complete; bytes 1..21 are the sent block's
// bytes 5..25 for the write commands; the rest is the reply as the device
// delivers it (report ID first), cut to the reader's buffer as a real device
// would.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "update/protocol.h"

namespace {

using namespace orvik;

void Check(bool condition) {
  if (!condition) std::abort();
}

class ReplyDevice final : public HidDevice {
 public:
  ReplyDevice(std::span<const std::uint8_t> reply, bool writeCompletes, bool readCompletes)
      : m_reply(reply), m_writeCompletes(writeCompletes), m_readCompletes(readCompletes) {}

  bool OpenDevice(std::uint32_t, std::uint32_t) override { return true; }
  void WriteReport(std::span<const std::uint8_t> report) override {
    Check(report.size() == kReportSize);
    m_writes++;
  }
  bool WaitWriteDone() override { return m_writeCompletes; }
  void ReadReport(std::span<std::uint8_t> buffer) override {
    Check(m_writes == 1 && m_writeCompletes);  // no read while a write is outstanding or failed
    m_buffer = buffer;
  }
  bool WaitReadDone() override {
    // Whatever arrived lands in the buffer, also when the read then fails.
    std::copy_n(m_reply.begin(), std::min(m_reply.size(), m_buffer.size()), m_buffer.begin());
    m_buffer = {};
    return m_readCompletes;
  }
  void DiscardQueuedInput() override {}

 private:
  std::span<const std::uint8_t> m_reply;
  bool m_writeCompletes;
  bool m_readCompletes;
  int m_writes = 0;
  std::span<std::uint8_t> m_buffer;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t control = data[0];
  const auto command = static_cast<UpdateCommand>((control & 0x07) % kUpdateCommandCount);
  const bool writeCompletes = (control & 0x08) != 0;
  const bool readCompletes = (control & 0x10) != 0;
  std::span<const std::uint8_t> rest(data + 1, size - 1);

  ReportPacket send = MakeCommand(command);
  if (InfoOf(command).echoesBlock) {
    const std::size_t n = std::min<std::size_t>(rest.size(), kEchoLast + 1 - kEchoFirst);
    std::copy_n(rest.begin(), n, send.begin() + kEchoFirst);
    rest = rest.subspan(n);
  }

  ReplyDevice device(rest, writeCompletes, readCompletes);
  ReportPacket reply;
  reply.fill(0xA5);  // not what arrives: ExchangeReport zeroes the buffer first
  const ExchangeOutcome outcome = ExchangeReport(device, command, send, reply);

  if (!writeCompletes) {
    Check(outcome == ExchangeOutcome::WriteFail);
    return 0;
  }
  // The reply holds what arrived, zeros after it.
  const std::size_t arrived = std::min(rest.size(), reply.size());
  Check(std::equal(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(arrived), reply.begin()));
  Check(std::all_of(reply.begin() + static_cast<std::ptrdiff_t>(arrived), reply.end(),
                    [](std::uint8_t b) { return b == 0; }));
  if (!readCompletes) {
    Check(outcome == ExchangeOutcome::GetReplyFail);
  } else {
    const auto expected = ExpectedReply(command);
    bool matches = std::equal(expected.begin(), expected.end(), reply.begin());
    if (InfoOf(command).echoesBlock) {
      matches = matches && std::equal(send.begin() + kEchoFirst, send.begin() + kEchoLast + 1,
                                      reply.begin() + kEchoFirst);
    }
    Check(outcome == (matches ? ExchangeOutcome::Accepted : ExchangeOutcome::CompareFail));
  }
  // The worker logs the reply as a dump of fixed length.
  Check(FormatReportDump(reply).size() == kReportDumpLength);
  return 0;
}
