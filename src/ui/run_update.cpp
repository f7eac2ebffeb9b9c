// The update worker: sends both controllers' firmware, block by block, and
// reports the first failed exchange with its number.
//
// A run of both controllers with the shipped image is 2,461 exchanges:
// StartUpdate, MCUErase, 512 + 1,516 MCUWrite, MCUEnd, USBErase, 428 USBWrite,
// USBEnd. One report is in flight at a time; nothing is retried.
#include <cstdarg>
#include <cstdio>

#include "log/log.h"
#include "ui/updater_dlg.h"
#include "update/protocol.h"

namespace orvik {
namespace {

// One place in the run where an exchange can fail, with the number and the
// message of each way it can fail (write, reply, compare).
struct ExchangeSite {
  UpdateCommand command;
  int codes[3];
  const char* messages[3];
  // A missing reply to this command is serious enough to be announced with a
  // separate "Update fail" box first.
  bool updateFailBoxOnNoReply = false;
};

constexpr ExchangeSite kStartSite{UpdateCommand::StartUpdate,
                                  {440, 460, 498},
                                  {"Write start code fail(%d)", "Get start code reply fail(%d)",
                                   "Check start code reply fail(%d)"}};
constexpr ExchangeSite kMcuEraseSite{UpdateCommand::MCUErase,
                                     {533, 551, 585},
                                     {"Write mcu erase code fail(%d)", "Get mcu erase code reply fail(%d)",
                                      "Check mcu erase code reply fail(%d)"}};
constexpr ExchangeSite kMcuSection1Site{UpdateCommand::MCUWrite,
                                        {703, 723, 772},
                                        {"Write mcu code fail(%d)", "Get write mcu code reply fail(%d)",
                                         "Check write mcu code reply fail(%d)"}};
constexpr ExchangeSite kMcuSection2Site{UpdateCommand::MCUWrite,
                                        {887, 907, 959},
                                        {"Write mcu code fail(%d)", "Get write mcu code reply fail(%d)",
                                         "Check write mcu code reply fail(%d)"}};
constexpr ExchangeSite kMcuEndSite{UpdateCommand::MCUEnd,
                                   {999, 1021, 1058},
                                   {"Write mcu end code fail(%d)", "Get write mcu end code reply fail(%d)",
                                    "Check write mcu end code reply fail(%d)"},
                                   true};
constexpr ExchangeSite kUsbEraseSite{UpdateCommand::USBErase,
                                     {1099, 1121, 1158},
                                     {"Write usb erase code fail(%d)", "Get write usb erase code reply fail(%d)",
                                      "Check write usb earse code reply fail(%d)"},
                                     true};
constexpr ExchangeSite kUsbSectionSite{UpdateCommand::USBWrite,
                                       {1273, 1293, 1345},
                                       {"Write usb code fail(%d)", "Get write usb code reply fail(%d)",
                                        "Check write usb code reply fail(%d)"}};
constexpr ExchangeSite kUsbEndSite{UpdateCommand::USBEnd,
                                   {1388, 1409, 1446},
                                   {"Write usb end code fail(%d)", "Get write usb end code reply fail(%d)",
                                    "Check write usb end code reply fail(%d)"}};

// The three write ranges of an update. Block n covers the 16 device addresses
// from firstAddress + 16n, read from the image at that address minus
// imageToDevice.
struct Section {
  const ExchangeSite& site;
  std::uint32_t firstAddress;
  std::uint32_t imageToDevice;
  std::uint32_t blocks;
  double step;  // progress added per block
};

constexpr std::uint32_t kBlockSize = 16;
constexpr std::uint32_t kMcuSection1Address = 0x2000;
constexpr std::uint32_t kMcuSection1Blocks = 512;
constexpr std::uint32_t kMcuSection2Address = 0x4000;
constexpr std::uint32_t kUsbSectionAddress = 0x10000;
// Progress weights of the sections on the 0..1000 bar.
constexpr double kMcuSectionWeight = 250.0;
constexpr double kUsbSectionWeight = 500.0;

}  // namespace

class UpdateRun {
 public:
  explicit UpdateRun(CORVIKUpdaterDlg& dlg) : m_dlg(dlg), m_image(*dlg.m_image) {}

  std::uint32_t Run() {
    // Every packet is built up front; the write packets are reused for every
    // block of their controller.
    const std::array<std::uint8_t, kTrailerSize> noTrailer{};
    ReportPacket start = MakeCommand(UpdateCommand::StartUpdate, noTrailer);
    const ReportPacket mcuErase = MakeCommand(UpdateCommand::MCUErase);
    ReportPacket mcuWrite = MakeCommand(UpdateCommand::MCUWrite);
    const ReportPacket mcuEnd = MakeCommand(UpdateCommand::MCUEnd);
    const ReportPacket usbErase = MakeCommand(UpdateCommand::USBErase);
    ReportPacket usbWrite = MakeCommand(UpdateCommand::USBWrite);
    const ReportPacket usbEnd = MakeCommand(UpdateCommand::USBEnd);
    m_reply.fill(0);
    m_progress = 0.0;

    // A reply that arrived after an earlier run gave up on it would otherwise
    // be read as the answer to this run's first command.
    m_dlg.m_device.DiscardQueuedInput();

    m_dlg.m_startTick = m_dlg.m_tickCount();
    m_dlg.m_window.StartTimer(kUpdateTimerId, kUpdateTimerPeriodMs);

    if (m_dlg.m_window.GetCheck(IDC_MCU) == 1) {
      start = MakeCommand(UpdateCommand::StartUpdate,
                          std::span<const std::uint8_t, kTrailerSize>(m_image.data() + kMcuTrailerOffset, kTrailerSize));
      if (!Exchange(kStartSite, start)) return 0;
      if (!Exchange(kMcuEraseSite, mcuErase)) return 0;

      Verbose("MCU Section 1");
      if (!Send({kMcuSection1Site, kMcuSection1Address, kMcuSection1Address, kMcuSection1Blocks,
                 kMcuSectionWeight / kMcuSection1Blocks},
                mcuWrite)) {
        return 0;
      }

      Verbose("MCU Section 2");
      const std::uint32_t length = m_dlg.m_info.mcuEndAddress - kMcuSection2Address;
      Verbose("MCU section 2 write size = 0x%08x", length);
      const std::uint32_t blocks = length / kBlockSize;
      if (blocks > 0 &&
          !Send({kMcuSection2Site, kMcuSection2Address, 0, blocks, kMcuSectionWeight / blocks}, mcuWrite)) {
        return 0;
      }
      if (!Exchange(kMcuEndSite, mcuEnd)) return 0;
    }

    // Read only now: the user may clear "USB" while the MCU is being updated.
    if (m_dlg.m_window.GetCheck(IDC_USB) == 1) {
      if (!Exchange(kUsbEraseSite, usbErase)) return 0;
      LogLine("USB Section");
      const std::uint32_t length = m_dlg.m_info.usbEndAddress - kUsbSectionAddress;
      LogFormat("USB  write size = 0x%08x", length);
      const std::uint32_t blocks = length / kBlockSize;
      if (blocks > 0 &&
          !Send({kUsbSectionSite, kUsbSectionAddress, 0, blocks, kUsbSectionWeight / blocks}, usbWrite)) {
        return 0;
      }
      if (!Exchange(kUsbEndSite, usbEnd)) return 0;
    }

    m_dlg.m_lastRunResult = 0;
    m_dlg.m_busy = false;
    m_dlg.ShowMessage("Update complete");
    LogLine("Update complete");
    m_dlg.m_window.EnableControl(IDC_UPDATE, true);
    return 0;
  }

 private:
  // Logs only while "Log" is checked; the box is read at every line.
  void Verbose(const char* text) const {
    if (m_dlg.m_verboseLog) LogLine(text);
  }
  void Verbose(const char* format, std::uint32_t value) const {
    if (!m_dlg.m_verboseLog) return;
    char line[64];
    std::snprintf(line, sizeof line, format, static_cast<unsigned>(value));
    LogLine(line);
  }
  void VerboseDump(const char* prefix, const ReportPacket& packet) const {
    if (m_dlg.m_verboseLog) LogLine(prefix + FormatReportDump(packet));
  }

  // Exchanges one command; on failure ends the run and returns false.
  bool Exchange(const ExchangeSite& site, const ReportPacket& packet) {
    if (m_dlg.m_runObserver) m_dlg.m_runObserver(site.command);
    const ExchangeOutcome outcome = ExchangeReport(m_dlg.m_device, site.command, packet, m_reply);
    if (outcome == ExchangeOutcome::Accepted) return true;
    Fail(site, outcome);
    return false;
  }

  // Sends every block of a section through `packet`; on failure ends the run
  // and returns false.
  bool Send(const Section& section, ReportPacket& packet) {
    const bool mcu = InfoOf(section.site.command).target == UpdateTarget::MCU;
    const char* replyPrefix = mcu ? "MCUWrite Reply = " : "USBWrite Reply = ";
    std::uint32_t address = section.firstAddress;
    if (m_dlg.m_runObserver) m_dlg.m_runObserver(section.site.command);
    for (std::uint32_t n = 0; n < section.blocks; ++n) {
      Verbose("Addr = 0x%08x", address);
      if (m_dlg.m_verboseLog) LogFormat("Block = %d, BlockIdx = %d", static_cast<int>(n), static_cast<int>(n % 4));
      // Verification bounds every end address inside its section, so the
      // block always lies inside the image.
      const std::size_t offset = address - section.imageToDevice;
      SetWriteBlock(packet, address, n, std::span<const std::uint8_t, kBlockSize>(m_image.data() + offset, kBlockSize));
      address += kBlockSize;
      VerboseDump("Write = ", packet);

      const ExchangeOutcome outcome = ExchangeReport(m_dlg.m_device, section.site.command, packet, m_reply);
      if (outcome == ExchangeOutcome::WriteFail || outcome == ExchangeOutcome::GetReplyFail) {
        Fail(section.site, outcome);
        return false;
      }
      VerboseDump(replyPrefix, m_reply);
      if (outcome == ExchangeOutcome::CompareFail) {
        Fail(section.site, outcome);
        return false;
      }
      m_progress += section.step;
      m_dlg.m_window.SetProgressPos(static_cast<int>(m_progress));
    }
    return true;
  }

  // Ends the run at a failed exchange: not busy any more, the message(s),
  // then (only while "Log" is checked) the log text and the reply.
  void Fail(const ExchangeSite& site, ExchangeOutcome outcome) {
    const int kind = outcome == ExchangeOutcome::WriteFail ? 0 : outcome == ExchangeOutcome::GetReplyFail ? 1 : 2;
    const int code = site.codes[kind];
    m_dlg.m_lastRunResult = code;
    m_dlg.m_busy = false;
    if (kind == 1 && site.updateFailBoxOnNoReply) m_dlg.ShowMessage("Update fail");
    char message[128];
    std::snprintf(message, sizeof message, site.messages[kind], code);
    m_dlg.ShowMessage(message);

    if (!m_dlg.m_verboseLog) return;
    const char* name = InfoOf(site.command).name;
    static constexpr const char* kLogFormats[3] = {"Write %s code fail", "Get %s Reply code fail",
                                                   "Compare %s Reply code fail"};
    char text[64];
    std::snprintf(text, sizeof text, kLogFormats[kind], name);
    LogLine(text);
    if (kind == 0) return;  // nothing arrived after a failed write: no dump
    // A missing block reply is dumped after the block's reply prefix.
    const bool prefixed = kind == 1 && InfoOf(site.command).echoesBlock;
    LogLine((prefixed ? std::string(name) + " Reply = " : std::string()) + FormatReportDump(m_reply));
  }

  CORVIKUpdaterDlg& m_dlg;
  const FirmwareImage& m_image;
  ReportPacket m_reply{};
  double m_progress = 0.0;
};

std::uint32_t CORVIKUpdaterDlg::RunUpdate() { return UpdateRun(*this).Run(); }

// The worker thread's entry, as the platform's thread API would call it.
std::uint32_t UpdateThreadProc(void* dialog) {
  if (dialog == nullptr) return 0;
  return static_cast<CORVIKUpdaterDlg*>(dialog)->RunUpdate();
}

}  // namespace orvik
