#include "emulator/emulated_device_set.h"

#include <utility>

namespace orvik {

EmulatedDeviceSet::EmulatedDeviceSet(const std::vector<EmulatedUnit>& units, std::chrono::milliseconds waitBound)
    : EmulatedDeviceSet([waitBound] {
        auto shared = std::make_shared<Shared>();
        shared->start = Clock::now();
        shared->waitBound = waitBound;
        return shared;
      }()) {
  m_slots.reserve(units.size());
  for (const EmulatedUnit& unit : units) {
    Slot slot;
    slot.device = MakeEmulatedDevice(unit.setting, waitBound);
    slot.unit = unit;
    slot.serial = unit.serial.value_or(DefaultEmulatedSerial(m_slots.size()));
    if (unit.afterMs) {
      slot.device->SetPresent(false);  // until its arrival
    } else {
      slot.state = State::Present;
      slot.arrivedAt = m_start;
    }
    m_slots.push_back(std::move(slot));
  }
  std::lock_guard lock(m_mutex);
  Refresh(m_start);
}

EmulatedDeviceSet::EmulatedDeviceSet(std::shared_ptr<Shared> shared)
    : m_shared(std::move(shared)),
      m_start(m_shared->start),
      m_mutex(m_shared->mutex),
      m_slots(m_shared->slots),
      m_closed(std::make_unique<EmulatedDevice>(m_shared->waitBound)) {}

EmulatedDeviceSet::~EmulatedDeviceSet() { Close(); }

std::unique_ptr<SearchableHidDevice> EmulatedDeviceSet::NewHandle() const {
  return std::unique_ptr<EmulatedDeviceSet>(new EmulatedDeviceSet(m_shared));
}

OpenRefusal EmulatedDeviceSet::LastOpenRefusal() const {
  std::lock_guard lock(m_mutex);
  return m_refusal;
}

std::string EmulatedDeviceSet::UnitPath(std::size_t index) { return "emulated:" + std::to_string(index + 1); }

void EmulatedDeviceSet::Refresh(Clock::time_point now) {
  using std::chrono::milliseconds;
  for (std::size_t i = 0; i < m_slots.size(); ++i) {
    Slot& slot = m_slots[i];
    if (slot.state == State::Waiting) {
      // A scheduled unit arrives a while after the one before it has left.
      std::optional<Clock::time_point> base;
      if (i == 0) {
        base = m_start;
      } else if (m_slots[i - 1].state == State::Gone) {
        base = m_slots[i - 1].leftAt;
      }
      if (!base || now < *base + milliseconds(*slot.unit.afterMs)) continue;
      slot.state = State::Present;
      slot.arrivedAt = *base + milliseconds(*slot.unit.afterMs);
      if (!slot.unit.setting.absent) slot.device->SetPresent(true);
    }
    if (slot.state != State::Present) continue;
    // The earlier of its departures: idle for /leave, or /pull after arrival.
    std::optional<Clock::time_point> leaves;
    if (slot.unit.leaveMs && slot.lastActivity) leaves = *slot.lastActivity + milliseconds(*slot.unit.leaveMs);
    if (slot.unit.pullMs) {
      const Clock::time_point pulled = slot.arrivedAt + milliseconds(*slot.unit.pullMs);
      if (!leaves || pulled < *leaves) leaves = pulled;
    }
    if (leaves && now >= *leaves) {
      slot.device->Unplug();
      slot.state = State::Gone;
      slot.leftAt = *leaves;
    } else if (!slot.device->IsPresent()) {
      // Absent from the start, or pulled out by an unplug fault.
      slot.state = State::Gone;
      slot.leftAt = now;
    }
  }
}

EmulatedDevice& EmulatedDeviceSet::CurrentLocked() { return m_open ? *m_slots[*m_open].device : *m_closed; }

EmulatedDevice& EmulatedDeviceSet::Current() {
  std::lock_guard lock(m_mutex);
  return CurrentLocked();
}

bool EmulatedDeviceSet::OpenDevice(std::uint32_t vendorId, std::uint32_t productId) {
  std::lock_guard lock(m_mutex);
  const Clock::time_point now = Clock::now();
  Refresh(now);
  // Opening anew closes what was open, as a real device's handle is.
  if (m_open) {
    m_slots[*m_open].device->Close();
    m_slots[*m_open].openBy = nullptr;
  }
  m_open.reset();
  m_refusal = {};
  for (std::size_t i = 0; i < m_slots.size(); ++i) {
    Slot& slot = m_slots[i];
    if (slot.state != State::Present) continue;
    if (!m_onlyPath.empty() && UnitPath(i) != m_onlyPath) continue;
    if (slot.openBy != nullptr) {
      // Another handle has it: in use, as another updater's lock makes it.
      if (m_refusal.reason.empty()) m_refusal = {kInUseByAnotherUpdater, kInUseRemedy};
      continue;
    }
    if (!slot.device->OpenDevice(vendorId, productId)) continue;
    m_open = i;
    slot.openBy = this;
    slot.lastActivity = now;
    m_refusal = {};
    return true;
  }
  return false;
}

void EmulatedDeviceSet::WriteReport(std::span<const std::uint8_t> report) {
  EmulatedDevice* device;
  {
    std::lock_guard lock(m_mutex);
    const Clock::time_point now = Clock::now();
    Refresh(now);
    if (m_open) m_slots[*m_open].lastActivity = now;
    device = &CurrentLocked();
  }
  device->WriteReport(report);
}

// The transfers and waits run outside the set's lock: a wait may take the
// whole wait bound.
bool EmulatedDeviceSet::WaitWriteDone() { return Current().WaitWriteDone(); }

void EmulatedDeviceSet::ReadReport(std::span<std::uint8_t> buffer) { Current().ReadReport(buffer); }

bool EmulatedDeviceSet::WaitReadDone() { return Current().WaitReadDone(); }

void EmulatedDeviceSet::DiscardQueuedInput() { Current().DiscardQueuedInput(); }

std::vector<HidInterfaceInfo> EmulatedDeviceSet::ListInterfaces(std::uint32_t vendorId, std::uint32_t productId) {
  std::vector<HidInterfaceInfo> found;
  if (vendorId != DeviceVendorId || productId != DeviceProductId) return found;
  std::lock_guard lock(m_mutex);
  Refresh(Clock::now());
  for (std::size_t i = 0; i < m_slots.size(); ++i) {
    if (m_slots[i].state != State::Present) continue;
    HidInterfaceInfo info;
    info.path = UnitPath(i);
    info.identity = info.path;
    info.serial = m_slots[i].serial;
    info.inputReportLength = kReportSize;
    info.outputReportLength = kReportSize;
    info.usable = m_slots[i].openBy == nullptr || m_slots[i].openBy == this;
    if (!info.usable) info.problem = kInUseByAnotherUpdater;
    found.push_back(std::move(info));
  }
  return found;
}

void EmulatedDeviceSet::RestrictToPath(std::string path) {
  std::lock_guard lock(m_mutex);
  m_onlyPath = std::move(path);
}

std::string EmulatedDeviceSet::OpenedPath() const {
  std::lock_guard lock(m_mutex);
  return m_open ? UnitPath(*m_open) : std::string();
}

void EmulatedDeviceSet::Close() {
  std::lock_guard lock(m_mutex);
  if (m_open) {
    m_slots[*m_open].device->Close();
    m_slots[*m_open].openBy = nullptr;
  }
  m_open.reset();
}

void EmulatedDeviceSet::SetUnitSerial(std::size_t index, std::string serial) {
  std::lock_guard lock(m_mutex);
  m_slots.at(index).serial = std::move(serial);
}

void EmulatedDeviceSet::SetLatency(const TransferLatency& latency) {
  std::lock_guard lock(m_mutex);
  for (Slot& slot : m_slots) slot.device->SetLatency(latency);
}

}  // namespace orvik
