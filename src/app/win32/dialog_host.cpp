#include "app/win32/dialog_host.h"

#include "log/utf.h"

namespace orvik::win32 {

std::wstring Widen(const std::string& utf8) {
  const std::u16string utf16 = Utf8ToUtf16(utf8);
  return std::wstring(utf16.begin(), utf16.end());  // wchar_t is UTF-16 on Windows
}

std::string Narrow(const std::wstring& utf16) {
  return Utf16ToUtf8(std::u16string(utf16.begin(), utf16.end()));
}

namespace {

// Centres the dialog on the work area of its monitor. The template places it
// at 0,0 with no centring style; dialog frameworks centre an unowned modal
// dialog when it is first shown, and so does this host.
void CentreOnWorkArea(HWND hwnd) {
  MONITORINFO monitor{sizeof monitor};
  RECT window;
  if (!GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTOPRIMARY), &monitor) ||
      !GetWindowRect(hwnd, &window)) {
    return;
  }
  const RECT& work = monitor.rcWork;
  const int x = work.left + ((work.right - work.left) - (window.right - window.left)) / 2;
  const int y = work.top + ((work.bottom - work.top) - (window.bottom - window.top)) / 2;
  SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::wstring WindowText(HWND hwnd) {
  const int length = GetWindowTextLengthW(hwnd);
  if (length <= 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(hwnd, text.data(), length + 1);
  text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
  return text;
}

}  // namespace

Win32DialogWindow::Win32DialogWindow(HINSTANCE instance)
    : m_instance(instance), m_icon(LoadIconW(instance, MAKEINTRESOURCEW(IDI_UPDATER))) {}

Win32DialogWindow::~Win32DialogWindow() { Detach(); }

INT_PTR Win32DialogWindow::RunModal(CORVIKUpdaterDlg& dialog) {
  m_dialog = &dialog;
  const INT_PTR result = DialogBoxParamW(m_instance, MAKEINTRESOURCEW(IDD_UPDATER), nullptr, DialogProc,
                                         reinterpret_cast<LPARAM>(this));
  m_dialog = nullptr;
  return result;
}

// --- Calls across threads ---------------------------------------------------

void Win32DialogWindow::Attach(HWND hwnd) {
  std::lock_guard lock(m_mutex);
  m_hwnd = hwnd;
  m_uiThreadId = GetCurrentThreadId();
}

void Win32DialogWindow::Detach() {
  {
    std::lock_guard lock(m_mutex);
    m_hwnd = nullptr;
    // Calls still waiting give up without effect: the window they were for
    // has gone, and the thread that would have run them may be about to
    // wait for their caller.
    for (PendingCall* call : m_pending) call->done = true;
    m_pending.clear();
  }
  m_callDone.notify_all();
}

void Win32DialogWindow::Invoke(const std::function<void(HWND)>& body) {
  std::unique_lock lock(m_mutex);
  const HWND hwnd = m_hwnd;
  if (hwnd == nullptr) return;
  if (GetCurrentThreadId() == m_uiThreadId) {
    // Already on the user-interface thread: run at once, like SendMessage.
    // The lock is not held, so that the body may run a nested message loop
    // (a message box) that serves other calls.
    lock.unlock();
    body(hwnd);
    return;
  }
  PendingCall call{&body};
  m_pending.push_back(&call);
  // One posted message per call; the handler runs every call queued so far,
  // so a message that finds the queue empty does nothing.
  if (!PostMessageW(hwnd, kRunCallsMessage, 0, 0)) {
    std::erase(m_pending, &call);
    return;
  }
  m_callDone.wait(lock, [&call] { return call.done; });
}

void Win32DialogWindow::RunPendingCalls() {
  for (;;) {
    PendingCall* call = nullptr;
    HWND hwnd = nullptr;
    {
      std::lock_guard lock(m_mutex);
      if (m_pending.empty() || m_hwnd == nullptr) return;
      call = m_pending.front();
      m_pending.pop_front();
      hwnd = m_hwnd;
    }
    (*call->body)(hwnd);
    {
      std::lock_guard lock(m_mutex);
      call->done = true;
    }
    m_callDone.notify_all();
  }
}

// --- DialogWindow -----------------------------------------------------------

std::string Win32DialogWindow::GetCaption() {
  std::string caption;
  Invoke([&](HWND hwnd) { caption = Narrow(WindowText(hwnd)); });
  return caption;
}

void Win32DialogWindow::SetCaption(const std::string& text) {
  const std::wstring wide = Widen(text);
  Invoke([&](HWND hwnd) { SetWindowTextW(hwnd, wide.c_str()); });
}

void Win32DialogWindow::ShowControl(int id) {
  Invoke([&](HWND hwnd) { ShowWindow(GetDlgItem(hwnd, id), SW_SHOW); });
}

int Win32DialogWindow::GetCheck(int id) {
  int checked = 0;
  Invoke([&](HWND hwnd) { checked = IsDlgButtonChecked(hwnd, id) == BST_CHECKED ? 1 : 0; });
  return checked;
}

void Win32DialogWindow::SetCheck(int id, bool checked) {
  Invoke([&](HWND hwnd) { CheckDlgButton(hwnd, id, checked ? BST_CHECKED : BST_UNCHECKED); });
}

void Win32DialogWindow::SetItemText(int id, const std::string& text) {
  const std::wstring wide = Widen(text);
  Invoke([&](HWND hwnd) { SetDlgItemTextW(hwnd, id, wide.c_str()); });
}

void Win32DialogWindow::EnableControl(int id, bool enable) {
  Invoke([&](HWND hwnd) {
    const HWND control = GetDlgItem(hwnd, id);
    if (control == nullptr) return;
    const HWND parking = GetDlgItem(hwnd, IDC_PROGRESS);
    if (!enable && GetFocus() == control) {
      // A disabled window loses the keyboard focus and the dialog is left
      // with none: Escape and Enter would then do nothing. Move the focus to
      // the next tab stop first, or, when there is none (the check boxes are
      // hidden), park it on the progress bar, which ignores keys and lets
      // the dialog handle Escape and Enter.
      SendMessageW(hwnd, WM_NEXTDLGCTL, 0, FALSE);
      if (GetFocus() == control || GetFocus() == nullptr) {
        SendMessageW(hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(parking), TRUE);
      }
    }
    EnableWindow(control, enable ? TRUE : FALSE);
    if (enable && id == IDC_UPDATE && (GetFocus() == parking || GetFocus() == nullptr)) {
      // Give the focus back to "Update", so that Space or Enter starts the next run.
      SendMessageW(hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
    }
  });
}

void Win32DialogWindow::SetProgressRange(int lower, int upper) {
  Invoke([&](HWND hwnd) { SendDlgItemMessageW(hwnd, IDC_PROGRESS, PBM_SETRANGE32, lower, upper); });
  // A new range may clamp the bar: the next position is always sent.
  m_requestedPosition = kNoPosition;
}

void Win32DialogWindow::SetProgressPos(int position) {
  // The worker sets the position after every block, but the bar moves only
  // about every second block. Setting the same value again has no effect, and
  // each call waits for the user-interface thread, so it is skipped.
  if (m_requestedPosition.exchange(position) == position) return;
  Invoke([&](HWND hwnd) { SendDlgItemMessageW(hwnd, IDC_PROGRESS, PBM_SETPOS, position, 0); });
}

void Win32DialogWindow::StartTimer(int id, unsigned periodMs) {
  // SetTimer and KillTimer act on timers of the calling thread's windows: run
  // them on the user-interface thread so that the ticks arrive there.
  Invoke([&](HWND hwnd) { SetTimer(hwnd, static_cast<UINT_PTR>(id), periodMs, nullptr); });
}

void Win32DialogWindow::StopTimer(int id) {
  Invoke([&](HWND hwnd) { KillTimer(hwnd, static_cast<UINT_PTR>(id)); });
}

int Win32DialogWindow::MessageBox(const std::string& text, const std::string& title) {
  const std::wstring wideText = Widen(text);
  const std::wstring wideTitle = Widen(title);
  int result = 0;
  // Owned by the dialog, which stays disabled while the box is open.
  Invoke([&](HWND hwnd) { result = MessageBoxW(hwnd, wideText.c_str(), wideTitle.c_str(), MB_OK); });
  return result;
}

void Win32DialogWindow::EndDialog(int result) {
  Invoke([&](HWND hwnd) { ::EndDialog(hwnd, result); });
}

// --- The dialog procedure ---------------------------------------------------

INT_PTR CALLBACK Win32DialogWindow::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Win32DialogWindow* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<Win32DialogWindow*>(lParam);
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
  } else {
    self = reinterpret_cast<Win32DialogWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  }
  // Messages that arrive before WM_INITDIALOG (WM_SETFONT) go to the default.
  if (self == nullptr || self->m_dialog == nullptr) return FALSE;
  return self->HandleMessage(hwnd, message, wParam, lParam);
}

INT_PTR Win32DialogWindow::HandleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  switch (message) {
    case WM_INITDIALOG:
      Attach(hwnd);
      SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
      SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_icon));
      CentreOnWorkArea(hwnd);
      m_dialog->OnInitDialog();
      return TRUE;  // focus on the first tab stop, "Update"
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_TIMER:
      m_dialog->OnTimer(static_cast<int>(wParam));
      return FALSE;  // and the default handling
    case WM_QUERYENDSESSION:
      // A logoff or shutdown asks first: refused while an update runs, as
      // every other request to close is. A dialog procedure returns a
      // message's result through DWLP_MSGRESULT.
      SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, m_dialog->IsBusy() ? FALSE : TRUE);
      return TRUE;
    case WM_ENDSESSION:
      // wParam TRUE: the session ends now, whatever any program answered, and
      // the process may be ended as soon as this returns. An idle dialog
      // closes as its close box would; a busy one can do nothing more (the
      // log is already whole up to its last line).
      if (wParam != FALSE) m_dialog->OnCancel();
      SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, 0);
      return TRUE;
    case WM_PAINT:
      return PaintIconic(hwnd) ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(m_icon);
    case kRunCallsMessage:
      RunPendingCalls();
      return TRUE;
    case kFollowWorkMessage:
      m_hold.Follow(m_workRunning, hwnd);
      return TRUE;
    case WM_DESTROY:
      m_hold.Follow(false);
      Detach();
      return FALSE;
    default:
      return FALSE;
  }
}

void Win32DialogWindow::OnCommand(int id, int code) {
  switch (id) {
    case IDC_UPDATE:
      if (code == BN_CLICKED) m_dialog->OnClickedUpdate();
      break;
    case IDC_LOG:
      if (code == BN_CLICKED) m_dialog->OnClickedLog();
      break;
    // Enter, Escape, the close box, the system menu's Close and Alt+F4 all
    // arrive as IDOK or IDCANCEL; the behaviour refuses them while busy.
    case IDOK:
      m_dialog->OnOK();
      break;
    case IDCANCEL:
      m_dialog->OnCancel();
      break;
    default:
      break;
  }
}

void Win32DialogWindow::UpdateWorkChanged(bool running) {
  m_workRunning = running;
  if (running) {
    // The click's own thread: held before the worker starts.
    Invoke([this](HWND hwnd) { m_hold.Follow(m_workRunning, hwnd); });
    return;
  }
  // The worker's last step is posted, not waited for; the message follows
  // the latest state, so one handled after the next click keeps that run's
  // hold. A destroyed window has let go already.
  std::lock_guard lock(m_mutex);
  if (m_hwnd != nullptr) PostMessageW(m_hwnd, kFollowWorkMessage, 0, 0);
}

bool Win32DialogWindow::PaintIconic(HWND hwnd) {
  if (!IsIconic(hwnd)) return false;
  PAINTSTRUCT paint;
  const HDC dc = BeginPaint(hwnd, &paint);
  SendMessageW(hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int iconWidth = GetSystemMetrics(SM_CXICON);
  const int iconHeight = GetSystemMetrics(SM_CYICON);
  RECT client;
  GetClientRect(hwnd, &client);
  // Centred; the signed division rounds toward zero.
  const int x = (client.right - client.left - iconWidth + 1) / 2;
  const int y = (client.bottom - client.top - iconHeight + 1) / 2;
  DrawIcon(dc, x, y, m_icon);
  EndPaint(hwnd, &paint);
  return true;
}

}  // namespace orvik::win32
