// Several emulated devices behind one SearchableHidDevice, as
// "-Emulate:UNIT,UNIT,..." asks: each with its own fault, plugged in and
// unplugged on its own schedule (see fault.h for the grammar).
//
// Arrivals and departures are worked out from the clock whenever the set is
// used (a search, a listing, an open, a write), so no thread runs behind it:
// a unit whose time to leave has come is unplugged at the next call.
//
// OpenDevice opens the first present unit (or only the one RestrictToPath
// names), and the transfers go to that unit. All members may be called from
// any thread.
//
// NewHandle gives another handle on the same units (a station's worker per
// unit): each handle has its own open unit and restriction. A unit open on
// one handle is in use by another updater for every other handle: listed as
// not usable for that reason, and refused by their OpenDevice.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulated_device.h"
#include "emulator/fault.h"
#include "hid/hid_device.h"

namespace orvik {

class EmulatedDeviceSet final : public SearchableHidDevice {
 public:
  using Clock = std::chrono::steady_clock;

  // The schedule starts now. `units` may be empty (nothing is ever present).
  explicit EmulatedDeviceSet(const std::vector<EmulatedUnit>& units,
                             std::chrono::milliseconds waitBound = kDefaultWaitBound);
  EmulatedDeviceSet(const EmulatedDeviceSet&) = delete;
  EmulatedDeviceSet& operator=(const EmulatedDeviceSet&) = delete;

  // "emulated:1" for the unit at index 0, and so on.
  static std::string UnitPath(std::size_t index);

  // HidDevice
  bool OpenDevice(std::uint32_t vendorId, std::uint32_t productId) override;
  void WriteReport(std::span<const std::uint8_t> report) override;
  bool WaitWriteDone() override;
  void ReadReport(std::span<std::uint8_t> buffer) override;
  bool WaitReadDone() override;
  void DiscardQueuedInput() override;

  // SearchableHidDevice: the present units, each with 33-byte reports.
  std::vector<HidInterfaceInfo> ListInterfaces(std::uint32_t vendorId, std::uint32_t productId) override;
  void RestrictToPath(std::string path) override;
  std::string OpenedPath() const override;
  void Close() override;
  OpenRefusal LastOpenRefusal() const override;
  std::unique_ptr<SearchableHidDevice> NewHandle() const override;
  ~EmulatedDeviceSet() override;

  // Every unit gets this latency.
  void SetLatency(const TransferLatency& latency);

  // For tests: gives the unit at `index` these bytes as its serial number,
  // unchecked, as a device may send anything (control characters, invalid
  // UTF-8).
  void SetUnitSerial(std::size_t index, std::string serial);

  // For tests: the units, in list order.
  std::size_t UnitCount() const { return m_slots.size(); }
  EmulatedDevice& Unit(std::size_t index) { return *m_slots.at(index).device; }

 private:
  struct Shared;
  explicit EmulatedDeviceSet(std::shared_ptr<Shared> shared);

  enum class State { Waiting, Present, Gone };
  struct Slot {
    std::unique_ptr<EmulatedDevice> device;
    EmulatedUnit unit;
    std::string serial;  // "/serial=TEXT", or EMU-0001, ... by position
    State state = State::Waiting;
    std::optional<Clock::time_point> lastActivity;  // last open or write
    Clock::time_point arrivedAt{};
    Clock::time_point leftAt{};
    const EmulatedDeviceSet* openBy = nullptr;  // the handle that has it open
  };
  // What every handle on the units shares.
  struct Shared {
    Clock::time_point start;
    std::chrono::milliseconds waitBound;
    std::mutex mutex;
    std::vector<Slot> slots;
  };

  // Plugs in and unplugs units as their schedule says (under the lock).
  void Refresh(Clock::time_point now);
  // The unit the transfers go to: the open one, or one that is never open.
  // CurrentLocked with the lock held; Current takes it for the look-up only.
  EmulatedDevice& CurrentLocked();
  EmulatedDevice& Current();

  const std::shared_ptr<Shared> m_shared;
  const Clock::time_point m_start;
  std::mutex& m_mutex;  // the shared one: guards the slots and this handle's state
  std::vector<Slot>& m_slots;
  std::unique_ptr<EmulatedDevice> m_closed;  // never opened: its transfers fail at once
  std::optional<std::size_t> m_open;
  std::string m_onlyPath;
  OpenRefusal m_refusal;
};

}  // namespace orvik
