#include "ui/updater_dlg.h"

#include <chrono>
#include <cstdio>
#include <new>
#include <system_error>

#include "log/log.h"
#include "log/utf.h"

namespace orvik {

namespace {

// Window texts are read into buffers of 260 UTF-16 units, terminator included.
constexpr std::size_t kCaptionUnits = 259;
// The version text is converted into at most 4,096 units, terminator included.
constexpr std::size_t kVersionTextUnits = 4095;

constexpr char kOutOfMemory[] = "Out of memory!";
constexpr char kCantFindDevice[] = "Can't find device, Please connect before run this updater!";
constexpr char kCantStartUpdate[] = "Can't start update, please try again!";

}  // namespace

std::uint32_t SystemTickCount() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string FormatElapsed(std::uint32_t startTick, std::uint32_t nowTick) {
  const std::uint32_t elapsed = nowTick - startTick;  // modulo 2^32: a wrap in between is harmless
  char text[32];
  std::snprintf(text, sizeof text, "%02u:%02u.%03u", static_cast<unsigned>(elapsed / 60000),
                static_cast<unsigned>(elapsed / 1000 % 60), static_cast<unsigned>(elapsed % 1000));
  return text;
}

std::string RefusalMessage(const OpenRefusal& refusal) {
  std::string text = "The device is connected but cannot be opened: " + refusal.reason + ".";
  if (!refusal.remedy.empty()) text += "\n" + refusal.remedy;
  return text;
}

bool HasAdvModeSwitch(const std::vector<std::string>& arguments) {
  bool found = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == "-AdvMode") found = true;
  }
  return found;
}

CORVIKUpdaterDlg::CORVIKUpdaterDlg(DialogWindow& window, HidDevice& device, const Resources& resources,
                                   std::vector<std::string> arguments, TickSource tickCount)
    : m_window(window),
      m_device(device),
      m_resources(resources),
      m_arguments(std::move(arguments)),
      m_tickCount(std::move(tickCount)),
      m_log(ThreadLog()) {}

CORVIKUpdaterDlg::~CORVIKUpdaterDlg() { WaitForWorker(); }

void CORVIKUpdaterDlg::WaitForWorker() {
  if (m_worker.joinable()) m_worker.join();
}

bool CORVIKUpdaterDlg::OnInitDialog() {
  // A missing version text ends the dialog, yet the later checks still run
  // and still report what they find.
  AppendVersionToTitle();

  m_advancedMode = HasAdvModeSwitch(m_arguments);
  if (m_advancedMode) {
    m_window.ShowControl(IDC_MCU);
    m_window.ShowControl(IDC_USB);
    m_window.ShowControl(IDC_LOG);
  }

  if (!LoadAndVerifyImage()) return true;

  if (!m_device.OpenDevice(DeviceVendorId, DeviceProductId)) {
    ShowMessage(kCantFindDevice);
    LogLine("Can't find device");
    // The device may well be connected: say why it could not be used, or
    // the user goes on plugging in a device that is plugged in.
    const OpenRefusal refusal = m_device.LastOpenRefusal();
    if (!refusal.reason.empty()) ShowMessage(RefusalMessage(refusal));
    EndDialog();
    return true;
  }

  m_window.SetProgressRange(0, kProgressMax);
  LogFormat("MCU = Y%x-%x, USB = Y%x-%x", m_info.mcuVersion >> 4, m_info.mcuVersion & 0x0F, m_info.usbVersion >> 4,
            m_info.usbVersion & 0x0F);
  m_window.SetCheck(IDC_MCU, true);
  m_window.SetCheck(IDC_USB, true);
  m_window.SetCheck(IDC_LOG, false);
  m_verboseLog = false;
  return true;
}

void CORVIKUpdaterDlg::AppendVersionToTitle() {
  const ResourceLookup found = m_resources.Find(kVerResourceType, kVerResourceId);
  if (found.status != ResourceStatus::Found) {
    ShowMessage(kCantFindVersionMessage);
    LogLine(found.status == ResourceStatus::NotFound ? "Find ver resource fail" : "Load ver resource fail");
    EndDialog();
    return;
  }
  // The resource has no terminating zero; the copy gets one.
  const std::unique_ptr<char[]> text(new (std::nothrow) char[found.bytes.size() + 1]());
  if (!text) {
    ShowMessage(kOutOfMemory);
    EndDialog();
    LogLine("Out of memory");
    return;
  }
  std::copy(found.bytes.begin(), found.bytes.end(), text.get());
  const std::string caption = TruncateToUtf16Units(m_window.GetCaption(), kCaptionUnits);
  const std::span<const std::uint8_t> copy(reinterpret_cast<const std::uint8_t*>(text.get()), found.bytes.size());
  const std::string version = TruncateToUtf16Units(VersionTextToUtf8(copy), kVersionTextUnits);
  m_window.SetCaption(caption + version);
}

bool CORVIKUpdaterDlg::LoadAndVerifyImage() {
  LoadImageResult result = LoadImage(m_resources);
  if (result.status != LoadImageStatus::Ok) {
    ShowMessage(result.message);
    if (result.logBeforeEnd) {
      LogLine(result.logLine);
      EndDialog();
    } else {
      EndDialog();
      LogLine(result.logLine);
    }
    return false;
  }
  m_image = std::move(result.image);
  m_info = result.info;
  return true;
}

void CORVIKUpdaterDlg::EndDialog() { m_window.EndDialog(kDialogResultOk); }

int CORVIKUpdaterDlg::ShowMessage(const std::string& text) {
  const std::string title = TruncateToUtf16Units(m_window.GetCaption(), kCaptionUnits);
  return m_window.MessageBox(text, title);
}

void CORVIKUpdaterDlg::OnTimer(int /*timerId*/) {
  if (m_busy) {
    m_window.SetItemText(IDC_ELAPSED, FormatElapsed(m_startTick, m_tickCount()));
  } else {
    m_window.EnableControl(IDC_UPDATE, true);
    m_window.StopTimer(kUpdateTimerId);
  }
}

void CORVIKUpdaterDlg::OnClickedLog() { m_verboseLog = m_window.GetCheck(IDC_LOG) == 1; }

void CORVIKUpdaterDlg::OnOK() {
  if (!m_busy) m_window.EndDialog(kDialogResultOk);
}

void CORVIKUpdaterDlg::OnCancel() {
  if (!m_busy) m_window.EndDialog(kDialogResultCancel);
}

void CORVIKUpdaterDlg::OnClickedUpdate() {
  // One worker at a time. A run clears m_busy before its last message box and
  // only then logs and re-enables the button, so a click can land while the
  // previous worker is still finishing: it is ignored (the button comes back
  // a moment later). A finished worker no longer needs this thread, so the
  // join below returns at once.
  if (!m_workerFinished) return;
  WaitForWorker();

  m_window.EnableControl(IDC_UPDATE, false);
  m_window.UpdateWorkChanged(true);
  m_busy = true;
  m_workerFinished = false;
  try {
    m_worker = std::thread([this] {
      const ScopedThreadLog log(m_log);
      UpdateThreadProc(this);
      m_window.UpdateWorkChanged(false);
      m_workerFinished = true;
    });
  } catch (const std::system_error&) {
    // No thread: nothing runs, so the dialog must not stay busy and unclosable.
    m_workerFinished = true;
    m_window.UpdateWorkChanged(false);
    m_busy = false;
    m_window.EnableControl(IDC_UPDATE, true);
    ShowMessage(kCantStartUpdate);
  }
}

int CORVIKUpdaterDlg::RunHere() {
  if (!m_workerFinished) return kNoRun;
  WaitForWorker();
  m_window.EnableControl(IDC_UPDATE, false);
  m_window.UpdateWorkChanged(true);
  m_busy = true;
  RunUpdate();
  m_busy = false;
  m_window.UpdateWorkChanged(false);
  return m_lastRunResult.load();
}

}  // namespace orvik
