#include "emulator/emulated_device.h"

#include <algorithm>

namespace orvik {

namespace {

// Room for a whole run without reallocating: the longest run is 4,101
// commands (StartUpdate, MCUErase, 3,584 MCUWrite, MCUEnd, USBErase, 512
// USBWrite, USBEnd).
constexpr std::size_t kRecordReserve = 4352;

constexpr std::array<std::uint8_t, 4> kBootLoaderPattern{'B', 'O', 'O', 'T'};

std::uint32_t BlockAddress(const ReportPacket& packet) {
  return (std::uint32_t{packet[kBlockAddressOffset]} << 16) | (std::uint32_t{packet[kBlockAddressOffset + 1]} << 8) |
         std::uint32_t{packet[kBlockAddressOffset + 2]};
}

// The reply operation of the next command in C0..C3 order: a plausible byte
// that is still the wrong one.
std::uint8_t WrongReplyOperation(std::uint8_t replyOperation) {
  return static_cast<std::uint8_t>(0xF0 | ((replyOperation + 1) & 0x03));
}

}  // namespace

EmulatedDevice::EmulatedDevice(std::chrono::milliseconds waitBound) : m_waitBound(waitBound) {
  for (std::uint32_t address = 0; address < m_flash.size(); ++address) {
    m_flash[address] = address < kBootLoaderEnd ? BootLoaderByte(address) : OldFirmwareByte(address);
  }
  m_record.reserve(kRecordReserve);
}

std::uint8_t EmulatedDevice::BootLoaderByte(std::uint32_t address) {
  return kBootLoaderPattern[address % kBootLoaderPattern.size()];
}

std::uint8_t EmulatedDevice::OldFirmwareByte(std::uint32_t address) {
  // Looks like code: varied bytes, about half of the bits clear.
  return static_cast<std::uint8_t>((address * 0x9E3779B1u) >> 24);
}

bool EmulatedDevice::OpenDevice(std::uint32_t vendorId, std::uint32_t productId) {
  std::lock_guard lock(m_mutex);
  // Opening anew closes what was open: no transfer outlives it, and the new
  // handle starts with an empty input queue.
  m_write = WriteState::Idle;
  m_readPending = false;
  m_readBuffer = {};
  m_replyHead = 0;
  m_replyCount = 0;
  m_open = m_present && vendorId == m_vendorId && productId == m_productId;
  return m_open;
}

void EmulatedDevice::WriteReport(std::span<const std::uint8_t> report) {
  std::lock_guard lock(m_mutex);
  m_writeDue.reset();
  if (!m_open || !m_present || report.size() != kReportSize) {
    m_write = WriteState::Failed;
    return;
  }
  ReportPacket packet;
  std::copy(report.begin(), report.end(), packet.begin());

  const std::optional<UpdateCommand> command = CommandOfPacket(packet);
  const std::optional<FaultKind> fault = command ? TakeFault(*command) : std::nullopt;
  if (fault == FaultKind::Unplug) {
    m_present = false;
    m_open = false;
    m_replyHead = 0;
    m_replyCount = 0;
    m_write = WriteState::Failed;
    m_changed.notify_all();
    return;
  }
  m_record.push_back(packet);
  if (fault == FaultKind::NoWrite) {
    m_write = WriteState::Stuck;
    return;
  }

  if (fault == FaultKind::BadEcho) {
    // One data byte arrives altered: the device programs and echoes it.
    packet[kBadEchoByte] ^= 0x01;
  }
  ReportPacket reply = Execute(packet);
  if (fault == FaultKind::BadReply) {
    reply[4] = WrongReplyOperation(reply[4]);
  }
  if (fault != FaultKind::NoReply) {
    PushReply(reply);
  }
  m_write = WriteState::Done;
  m_writeDue = CompletionTime(Clock::now());
}

bool EmulatedDevice::WaitWriteDone() {
  std::unique_lock lock(m_mutex);
  const WriteState state = m_write;
  m_write = WriteState::Idle;
  const auto gone = [this] { return !m_present; };
  switch (state) {
    case WriteState::Idle:
    case WriteState::Failed:
      return false;
    case WriteState::Stuck:
      m_changed.wait_for(lock, m_waitBound, gone);
      return false;
    case WriteState::Done:
      break;
  }
  if (m_writeDue) {
    const Clock::time_point deadline = Clock::now() + m_waitBound;
    const Clock::time_point due = *m_writeDue;
    if (m_pacer->WaitUntil(lock, m_changed, std::min(due, deadline), gone) || due > deadline) {
      return false;
    }
  }
  return m_present;
}

void EmulatedDevice::ReadReport(std::span<std::uint8_t> buffer) {
  std::lock_guard lock(m_mutex);
  m_readBuffer = buffer;
  m_readPending = true;
  m_readDue = CompletionTime(Clock::now());
}

bool EmulatedDevice::WaitReadDone() {
  std::unique_lock lock(m_mutex);
  if (!m_readPending) {
    return false;
  }
  m_readPending = false;
  const std::span<std::uint8_t> buffer = m_readBuffer;
  m_readBuffer = {};
  if (!m_open || !m_present) {
    return false;
  }

  const auto gone = [this] { return !m_present; };
  // Fast path: no latency and a reply waiting, no clock read.
  if (m_readDue || m_replyCount == 0) {
    const Clock::time_point deadline = Clock::now() + m_waitBound;
    if (m_readDue) {
      const Clock::time_point due = *m_readDue;
      if (m_pacer->WaitUntil(lock, m_changed, std::min(due, deadline), gone) || due > deadline) {
        return false;
      }
    }
    m_changed.wait_until(lock, deadline, [this] { return !m_present || m_replyCount > 0; });
    if (!m_present || m_replyCount == 0) {
      return false;
    }
  }

  const ReportPacket& reply = m_replies[m_replyHead];
  std::copy_n(reply.begin(), std::min(buffer.size(), reply.size()), buffer.begin());
  m_replyHead = (m_replyHead + 1) % kReplyQueueCapacity;
  --m_replyCount;
  return true;
}

void EmulatedDevice::DiscardQueuedInput() {
  std::lock_guard lock(m_mutex);
  m_replyHead = 0;
  m_replyCount = 0;
  ResetCounts();
}

void EmulatedDevice::SetIdentity(std::uint16_t vendorId, std::uint16_t productId) {
  std::lock_guard lock(m_mutex);
  m_vendorId = vendorId;
  m_productId = productId;
}

void EmulatedDevice::SetLatency(const TransferLatency& latency) {
  std::lock_guard lock(m_mutex);
  m_latency = latency;
  m_latencyOn = latency.perTransfer.count() > 0 || latency.usbFrames;
  // A due time is set only while a latency is on, so every paced wait finds
  // the pacer.
  if (m_latencyOn && !m_pacer) m_pacer = MakeFramePacer();
}

void EmulatedDevice::SetFault(std::optional<Fault> fault) {
  std::lock_guard lock(m_mutex);
  m_fault = fault;
  ResetCounts();
}

void EmulatedDevice::ApplySetting(const FaultSetting& setting) {
  SetPresent(!setting.absent);
  SetFault(setting.fault);
}

void EmulatedDevice::SetPresent(bool present) {
  if (!present) {
    Unplug();
    return;
  }
  std::lock_guard lock(m_mutex);
  m_present = true;
}

void EmulatedDevice::Unplug() {
  std::lock_guard lock(m_mutex);
  m_present = false;
  m_open = false;
  m_replyHead = 0;
  m_replyCount = 0;
  m_changed.notify_all();
}

void EmulatedDevice::Close() {
  std::lock_guard lock(m_mutex);
  m_open = false;
  m_write = WriteState::Idle;
  m_readPending = false;
  m_readBuffer = {};
  m_replyHead = 0;
  m_replyCount = 0;
  m_changed.notify_all();
}

void EmulatedDevice::QueueStaleReply(const ReportPacket& reply) {
  std::lock_guard lock(m_mutex);
  PushReply(reply);
}

std::vector<ReportPacket> EmulatedDevice::Record() const {
  std::lock_guard lock(m_mutex);
  return m_record;
}

std::size_t EmulatedDevice::RecordSize() const {
  std::lock_guard lock(m_mutex);
  return m_record.size();
}

void EmulatedDevice::ClearRecord() {
  std::lock_guard lock(m_mutex);
  m_record.clear();
}

std::vector<std::uint8_t> EmulatedDevice::McuFlash() const {
  std::lock_guard lock(m_mutex);
  return {m_flash.begin() + kMcuFlashFirst, m_flash.begin() + kMcuFlashEnd};
}

std::vector<std::uint8_t> EmulatedDevice::UsbFlash() const {
  std::lock_guard lock(m_mutex);
  return {m_flash.begin() + kUsbFlashFirst, m_flash.begin() + kUsbFlashEnd};
}

std::size_t EmulatedDevice::QueuedReplies() const {
  std::lock_guard lock(m_mutex);
  return m_replyCount;
}

bool EmulatedDevice::IsOpen() const {
  std::lock_guard lock(m_mutex);
  return m_open;
}

bool EmulatedDevice::IsPresent() const {
  std::lock_guard lock(m_mutex);
  return m_present;
}

ReportPacket EmulatedDevice::Execute(const ReportPacket& command) {
  ReportPacket reply{};
  reply[1] = kReportMarker;
  reply[2] = kDirectionReply;
  reply[3] = command[3];
  reply[4] = kRefusedOperation;

  const std::optional<UpdateCommand> known = CommandOfPacket(command);
  if (!known) {
    return reply;
  }
  const CommandInfo& info = InfoOf(*known);
  switch (*known) {
    case UpdateCommand::StartUpdate:
    case UpdateCommand::MCUEnd:
    case UpdateCommand::USBEnd:
      break;
    case UpdateCommand::MCUErase:
      std::fill(m_flash.begin() + kMcuWritableFirst, m_flash.begin() + kMcuFlashEnd, std::uint8_t{0xFF});
      break;
    case UpdateCommand::USBErase:
      std::fill(m_flash.begin() + kUsbFlashFirst, m_flash.begin() + kUsbFlashEnd, std::uint8_t{0xFF});
      break;
    case UpdateCommand::MCUWrite:
    case UpdateCommand::USBWrite: {
      const bool mcu = *known == UpdateCommand::MCUWrite;
      const std::uint32_t first = mcu ? kMcuWritableFirst : kUsbFlashFirst;
      const std::uint32_t end = mcu ? kMcuFlashEnd : kUsbFlashEnd;
      const std::uint32_t address = BlockAddress(command);
      if (address < first || address > end - kBlockDataSize) {
        return reply;
      }
      for (std::size_t i = 0; i < kBlockDataSize; ++i) {
        m_flash[address + i] &= command[kBlockDataOffset + i];
      }
      std::copy(command.begin() + kEchoFirst, command.begin() + kEchoLast + 1, reply.begin() + kEchoFirst);
      break;
    }
  }
  reply[4] = info.replyOperation;
  return reply;
}

void EmulatedDevice::PushReply(const ReportPacket& reply) {
  if (m_replyCount == kReplyQueueCapacity) {
    return;  // the queue is full: the new reply is lost
  }
  m_replies[(m_replyHead + m_replyCount) % kReplyQueueCapacity] = reply;
  ++m_replyCount;
  m_changed.notify_all();
}

std::optional<FaultKind> EmulatedDevice::TakeFault(UpdateCommand command) {
  const std::uint32_t count = m_counts[static_cast<std::size_t>(command)]++;
  if (m_fault && m_fault->command == command && m_fault->occurrence == count) {
    return m_fault->kind;
  }
  return std::nullopt;
}

std::optional<EmulatedDevice::Clock::time_point> EmulatedDevice::CompletionTime(Clock::time_point start) const {
  if (!m_latencyOn) {
    return std::nullopt;
  }
  Clock::time_point due = start + m_latency.perTransfer;
  if (m_latency.usbFrames) {
    using std::chrono::milliseconds;
    // The first boundary of this device's frame clock after `due`.
    const Clock::duration phase = m_latency.framePhase % milliseconds{1};
    const auto frame = std::chrono::floor<milliseconds>(due.time_since_epoch() - phase) + milliseconds{1};
    due = Clock::time_point{std::chrono::duration_cast<Clock::duration>(frame) + phase};
  }
  return due;
}

void EmulatedDevice::ResetCounts() { m_counts.fill(0); }

std::unique_ptr<EmulatedDevice> MakeEmulatedDevice(const FaultSetting& setting, std::chrono::milliseconds waitBound) {
  auto device = std::make_unique<EmulatedDevice>(waitBound);
  device->ApplySetting(setting);
  return device;
}

}  // namespace orvik
