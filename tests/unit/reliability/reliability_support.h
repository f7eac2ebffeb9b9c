// Shared by the reliability tests: a window that keeps only current state (a
// soak of hundreds of runs must not grow the test's own memory), where each
// exchange of a full update sits in the conversation, and the number a run
// reports when a given exchange fails.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "emulator/fault.h"
#include "ui/dialog_window.h"
#include "update/protocol.h"

namespace orvik::test {

class SoakWindow final : public DialogWindow {
 public:
  SoakWindow() {
    for (int id : {IDC_MCU, IDC_USB, IDC_LOG}) m_checks[id] = 0;
  }

  std::string GetCaption() override {
    std::lock_guard lock(m_mutex);
    return m_caption;
  }
  void SetCaption(const std::string& text) override {
    std::lock_guard lock(m_mutex);
    m_caption = text;
  }
  void ShowControl(int) override {}
  int GetCheck(int id) override {
    std::lock_guard lock(m_mutex);
    return m_checks[id];
  }
  void SetCheck(int id, bool checked) override {
    std::lock_guard lock(m_mutex);
    m_checks[id] = checked ? 1 : 0;
  }
  void SetItemText(int, const std::string&) override {}
  void EnableControl(int id, bool enable) override {
    std::lock_guard lock(m_mutex);
    if (id == IDC_UPDATE) m_updateEnabled = enable;
  }
  void SetProgressRange(int, int) override {}
  void SetProgressPos(int position) override {
    std::lock_guard lock(m_mutex);
    m_progress = position;
  }
  void StartTimer(int, unsigned) override {
    std::lock_guard lock(m_mutex);
    m_timer = true;
  }
  void StopTimer(int) override {
    std::lock_guard lock(m_mutex);
    m_timer = false;
  }
  int MessageBox(const std::string& text, const std::string&) override {
    std::lock_guard lock(m_mutex);
    ++m_boxes;
    m_lastBox = text;
    return kMessageBoxOk;
  }
  void EndDialog(int result) override {
    std::lock_guard lock(m_mutex);
    ++m_ends;
    m_endResult = result;
  }

  std::size_t Boxes() const {
    std::lock_guard lock(m_mutex);
    return m_boxes;
  }
  std::string LastBox() const {
    std::lock_guard lock(m_mutex);
    return m_lastBox;
  }
  bool UpdateEnabled() const {
    std::lock_guard lock(m_mutex);
    return m_updateEnabled;
  }
  bool TimerRunning() const {
    std::lock_guard lock(m_mutex);
    return m_timer;
  }
  std::size_t Ends() const {
    std::lock_guard lock(m_mutex);
    return m_ends;
  }
  int EndResult() const {
    std::lock_guard lock(m_mutex);
    return m_endResult;
  }

 private:
  mutable std::mutex m_mutex;
  std::string m_caption = "Firmware for Solvane ver";
  std::map<int, int> m_checks;
  bool m_updateEnabled = true;
  bool m_timer = false;
  int m_progress = 0;
  std::size_t m_boxes = 0;
  std::string m_lastBox;
  std::size_t m_ends = 0;
  int m_endResult = 0;
};

// A full update with the shipped image: StartUpdate, MCUErase, 2,028 MCU
// blocks (512 in Section 1), MCUEnd, USBErase, 428 USB blocks, USBEnd.
inline constexpr std::uint32_t kMcuBlocks = 2028;
inline constexpr std::uint32_t kMcuSection1Blocks = 512;
inline constexpr std::uint32_t kUsbBlocks = 428;
inline constexpr std::size_t kFullRunExchanges = 2461;

// Where the `occurrence`-th `command` sits in a full update (zero-based).
inline std::size_t ConversationIndex(UpdateCommand command, std::uint32_t occurrence) {
  switch (command) {
    case UpdateCommand::StartUpdate: return 0;
    case UpdateCommand::MCUErase: return 1;
    case UpdateCommand::MCUWrite: return 2 + occurrence;
    case UpdateCommand::MCUEnd: return 2 + kMcuBlocks;
    case UpdateCommand::USBErase: return 3 + kMcuBlocks;
    case UpdateCommand::USBWrite: return 4 + kMcuBlocks + occurrence;
    case UpdateCommand::USBEnd: return 4 + kMcuBlocks + kUsbBlocks;
  }
  return 0;
}

// How a failed exchange is reported: 0 write, 1 reply, 2 compare.
inline int FailureKind(FaultKind kind) {
  switch (kind) {
    case FaultKind::NoWrite:
    case FaultKind::Unplug: return 0;
    case FaultKind::NoReply: return 1;
    case FaultKind::BadReply:
    case FaultKind::BadEcho: return 2;
  }
  return 0;
}

// The number a run reports when the `occurrence`-th `command` fails that way.
inline int FailureCode(UpdateCommand command, std::uint32_t occurrence, int kind) {
  static const std::map<UpdateCommand, std::array<int, 3>> kCodes = {
      {UpdateCommand::StartUpdate, {440, 460, 498}}, {UpdateCommand::MCUErase, {533, 551, 585}},
      {UpdateCommand::MCUEnd, {999, 1021, 1058}},    {UpdateCommand::USBErase, {1099, 1121, 1158}},
      {UpdateCommand::USBWrite, {1273, 1293, 1345}}, {UpdateCommand::USBEnd, {1388, 1409, 1446}},
  };
  if (command == UpdateCommand::MCUWrite) {
    static constexpr std::array<int, 3> kSection1{703, 723, 772};
    static constexpr std::array<int, 3> kSection2{887, 907, 959};
    return (occurrence < kMcuSection1Blocks ? kSection1 : kSection2)[static_cast<std::size_t>(kind)];
  }
  return kCodes.at(command)[static_cast<std::size_t>(kind)];
}

// The heap bytes the program holds now (not counting what a sanitizer keeps
// in quarantine), to see whether repeated runs leave memory behind.
std::size_t LiveHeapBytes();

}  // namespace orvik::test
