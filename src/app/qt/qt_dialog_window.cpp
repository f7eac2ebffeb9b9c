#include "app/qt/qt_dialog_window.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QIcon>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMetaObject>
#include <QPixmap>
#include <QThread>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <utility>

#include "ui/updater_dlg.h"

namespace orvik::qt {

namespace {

#include "app/qt/orvik-updater.xpm"

// Windows measures a font's average character width over these 52 letters.
constexpr char kAverageWidthSample[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr int kAverageWidthSampleLength = 52;

// MulDiv(value, numerator, denominator) for the small positive values here:
// the exact quotient rounded half up.
int MulDivRound(int value, int numerator, int denominator) {
  return (value * numerator + denominator / 2) / denominator;
}

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

DialogBaseUnits BaseUnitsOf(const QFontMetrics& metrics) {
  const int sampleWidth = metrics.horizontalAdvance(QString::fromLatin1(kAverageWidthSample));
  return DialogBaseUnits{
      .x = (sampleWidth + kAverageWidthSampleLength / 2) / kAverageWidthSampleLength,
      .y = metrics.height(),
  };
}

QRect DialogUnitsToPixels(const QRect& du, DialogBaseUnits units) {
  return QRect(MulDivRound(du.x(), units.x, 4), MulDivRound(du.y(), units.y, 8), MulDivRound(du.width(), units.x, 4),
               MulDivRound(du.height(), units.y, 8));
}

QFont DialogFont() {
  // Tahoma is rarely installed on Linux; the style hint lets the font
  // configuration substitute the nearest sans-serif face.
  QFont font(QStringLiteral("Tahoma"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(10);
  font.setWeight(QFont::Normal);
  font.setItalic(false);
  return font;
}

QIcon ProgramIcon() { return QIcon(QPixmap(orvik_updater_xpm)); }

QtDialogWindow::QtDialogWindow()
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint),
      m_progress(this),
      m_update(QStringLiteral("Update"), this),
      m_mcu(QStringLiteral("MCU"), this),
      m_usb(QStringLiteral("USB"), this),
      m_log(QStringLiteral("Log"), this),
      m_elapsed(QStringLiteral("00:00.000"), this) {
  setWindowTitle(QString::fromUtf8(kDialogCaption));
  setWindowIcon(ProgramIcon());
  setFont(DialogFont());

  // A Win32 progress bar draws no percentage.
  m_progress.setTextVisible(false);
  // The template's push button is not a default button: Enter presses it only
  // while it has the focus (keyPressEvent).
  m_update.setAutoDefault(false);
  m_update.setDefault(false);
  m_update.setFocusPolicy(Qt::StrongFocus);
  m_mcu.hide();
  m_usb.hide();
  m_log.hide();
  // The static text has a sunken edge and no word wrap.
  m_elapsed.setFrameStyle(QFrame::Panel | QFrame::Sunken);
  m_elapsed.setLineWidth(1);
  m_elapsed.setIndent(1);
  m_elapsed.setWordWrap(false);
  m_elapsed.setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

  // Template order is the tab order: Update, MCU, USB, Log.
  setTabOrder(&m_update, &m_mcu);
  setTabOrder(&m_mcu, &m_usb);
  setTabOrder(&m_usb, &m_log);
  m_progress.setFocusPolicy(Qt::NoFocus);
  m_elapsed.setFocusPolicy(Qt::NoFocus);

  LayOut();
  // Not moved: like the Windows program, an unowned modal dialog opens
  // centred on the screen (QDialog does that when it is first shown).

  connect(&m_update, &QPushButton::clicked, this, [this] {
    if (m_dialog != nullptr) m_dialog->OnClickedUpdate();
  });
  // `clicked` comes after the box has changed its state, and not when the
  // program sets the state.
  connect(&m_log, &QCheckBox::clicked, this, [this] {
    if (m_dialog != nullptr) m_dialog->OnClickedLog();
  });
}

QtDialogWindow::~QtDialogWindow() { Shutdown(); }

void QtDialogWindow::RequestClose() {
  m_closeRequested = true;
  if (!m_closeRequestPoll.isActive()) {
    connect(&m_closeRequestPoll, &QTimer::timeout, this, &QtDialogWindow::ServeCloseRequest, Qt::UniqueConnection);
    m_closeRequestPoll.start(kCloseRequestPollMs);
  }
  ServeCloseRequest();
}

void QtDialogWindow::ServeCloseRequest() {
  if (m_ended) {
    m_closeRequestPoll.stop();
    return;
  }
  // The run goes on; the next poll looks again.
  if (m_dialog != nullptr && m_dialog->IsBusy()) return;
  // The run's last message: the worker waits for it to be closed, and its
  // text would be lost with the window, so it goes to standard error. A
  // failure may show a second box; the next poll answers that one.
  if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
    std::fprintf(stderr, "orvik-updater: %s\n", box->text().toLocal8Bit().constData());
    box->accept();
    return;
  }
  // Idle: the request ends the dialog as its close box would.
  m_closeRequestPoll.stop();
  reject();
}

void QtDialogWindow::LayOut() {
  const DialogBaseUnits units = BaseUnitsOf(QFontMetrics(font()));
  for (const TemplateControl& control : kTemplateControls) {
    Control(control.id)->setGeometry(DialogUnitsToPixels(control.du, units));
  }
  setFixedSize(DialogUnitsToPixels(QRect(0, 0, kDialogWidthDu, kDialogHeightDu), units).size());
}

void QtDialogWindow::Attach(CORVIKUpdaterDlg& dialog) { m_dialog = &dialog; }

bool QtDialogWindow::Start() {
  if (m_dialog != nullptr) m_dialog->OnInitDialog();
  // EndDialog during start-up only records the end: the window is never shown.
  if (m_ended) return false;
  m_running = true;
  show();
  m_update.setFocus(Qt::OtherFocusReason);
  return true;
}

int QtDialogWindow::Run() {
  if (m_dialog != nullptr) m_dialog->OnInitDialog();
  if (!m_ended) {
    m_running = true;
    m_update.setFocus(Qt::OtherFocusReason);
    exec();
    m_running = false;
  }
  Shutdown();
  return m_endResult;
}

void QtDialogWindow::Shutdown() {
  {
    std::lock_guard lock(m_gate->mutex);
    if (m_gate->cancelled) return;
    m_gate->cancelled = true;
    m_gate->queue.clear();
  }
  m_gate->answered.notify_all();
  for (auto& [id, timer] : m_timers) timer->stop();
  // The worker's last call cannot reach a window that has ended.
  m_hold.Follow(false);
}

std::size_t QtDialogWindow::PendingCalls() const {
  std::lock_guard lock(m_gate->mutex);
  return m_gate->pending;
}

template <typename R, typename F>
R QtDialogWindow::Send(F call) {
  if (QThread::currentThread() == thread()) {
    {
      std::lock_guard lock(m_gate->mutex);
      if (m_gate->cancelled) return R{};
    }
    return call();
  }

  struct Answer {
    bool done = false;
    R value{};
  };
  const std::shared_ptr<CallGate> gate = m_gate;
  const auto answer = std::make_shared<Answer>();
  {
    std::lock_guard lock(gate->mutex);
    if (gate->cancelled) return R{};
    ++gate->pending;
    // `call` holds copies only, no references into this frame: a cancelled
    // caller returns while the call may still sit in the queue.
    // The queued call runs only while the window, and so its gate, exists.
    gate->queue.push_back([gate = gate.get(), answer, call = std::move(call)]() mutable {
      R value = call();
      {
        std::lock_guard lock(gate->mutex);
        answer->value = std::move(value);
        answer->done = true;
      }
      gate->answered.notify_all();
    });
    // Only a wake-up travels through Qt's event queue; with the window as its
    // target, Qt drops it if the window is destroyed first. Posted under the
    // gate's lock: Shutdown() takes it first, so the window cannot go while
    // this thread still uses it.
    QMetaObject::invokeMethod(this, "RunQueuedCalls", Qt::QueuedConnection);
  }

  std::unique_lock lock(gate->mutex);
  gate->answered.wait(lock, [&] { return answer->done || gate->cancelled; });
  --gate->pending;
  return answer->done ? std::move(answer->value) : R{};
}

void QtDialogWindow::RunQueuedCalls() {
  for (;;) {
    std::function<void()> call;
    {
      std::lock_guard lock(m_gate->mutex);
      if (m_gate->cancelled || m_gate->queue.empty()) return;
      call = std::move(m_gate->queue.front());
      m_gate->queue.pop_front();
    }
    // Without the lock: a message box runs a nested event loop in here.
    call();
  }
}

QWidget* QtDialogWindow::Control(int id) {
  switch (id) {
    case IDC_UPDATE:
      return &m_update;
    case IDC_PROGRESS:
      return &m_progress;
    case IDC_MCU:
      return &m_mcu;
    case IDC_USB:
      return &m_usb;
    case IDC_ELAPSED:
      return &m_elapsed;
    case IDC_LOG:
      return &m_log;
    default:
      return nullptr;
  }
}

QCheckBox* QtDialogWindow::CheckBox(int id) {
  switch (id) {
    case IDC_MCU:
      return &m_mcu;
    case IDC_USB:
      return &m_usb;
    case IDC_LOG:
      return &m_log;
    default:
      return nullptr;
  }
}

std::string QtDialogWindow::GetCaption() {
  return Send<std::string>([this] { return windowTitle().toStdString(); });
}

void QtDialogWindow::SetCaption(const std::string& text) {
  Send<bool>([this, text] {
    setWindowTitle(FromUtf8(text));
    return true;
  });
}

void QtDialogWindow::ShowControl(int id) {
  Send<bool>([this, id] {
    if (QWidget* control = Control(id)) control->show();
    return true;
  });
}

int QtDialogWindow::GetCheck(int id) {
  return Send<int>([this, id] {
    const QCheckBox* box = CheckBox(id);
    return box != nullptr && box->isChecked() ? 1 : 0;
  });
}

void QtDialogWindow::SetCheck(int id, bool checked) {
  Send<bool>([this, id, checked] {
    if (QCheckBox* box = CheckBox(id)) box->setChecked(checked);
    return true;
  });
}

void QtDialogWindow::SetItemText(int id, const std::string& text) {
  Send<bool>([this, id, text] {
    const QString value = FromUtf8(text);
    if (auto* button = qobject_cast<QAbstractButton*>(Control(id))) {
      button->setText(value);
    } else if (id == IDC_ELAPSED) {
      m_elapsed.setText(value);
    }
    return true;
  });
}

void QtDialogWindow::EnableControl(int id, bool enable) {
  Send<bool>([this, id, enable] {
    // Qt moves the focus on by itself when the focused control is disabled.
    if (QWidget* control = Control(id)) control->setEnabled(enable);
    return true;
  });
}

void QtDialogWindow::SetProgressRange(int lower, int upper) {
  Send<bool>([this, lower, upper] {
    m_progress.setRange(lower, upper);
    return true;
  });
  m_requestedPosition = kNoPosition;
}

void QtDialogWindow::SetProgressPos(int position) {
  // The worker sets the position after every block, but the bar moves only
  // about every second block. Setting the same value again has no effect, so
  // the round trip to the user-interface thread is skipped for it.
  if (m_requestedPosition.exchange(position) == position) return;
  Send<bool>([this, position] {
    // A Win32 progress bar clamps a position outside its range; QProgressBar
    // would ignore it.
    m_progress.setValue(std::clamp(position, m_progress.minimum(), m_progress.maximum()));
    return true;
  });
}

void QtDialogWindow::StartTimer(int id, unsigned periodMs) {
  Send<bool>([this, id, periodMs] {
    std::unique_ptr<QTimer>& timer = m_timers[id];
    if (!timer) {
      timer = std::make_unique<QTimer>();
      connect(timer.get(), &QTimer::timeout, this, [this, id] {
        if (m_dialog != nullptr) m_dialog->OnTimer(id);
      });
    }
    // Starting a running timer again restarts it with the new period, as
    // SetTimer does.
    timer->start(static_cast<int>(std::min<unsigned>(periodMs, static_cast<unsigned>(INT_MAX))));
    return true;
  });
}

void QtDialogWindow::StopTimer(int id) {
  Send<bool>([this, id] {
    const auto found = m_timers.find(id);
    if (found != m_timers.end()) found->second->stop();
    return true;
  });
}

int QtDialogWindow::MessageBox(const std::string& text, const std::string& title) {
  return Send<int>([this, text, title] {
    {
      std::lock_guard lock(m_boxesMutex);
      m_boxes.push_back(ShownBox{text, title});
    }
    QMessageBox box(this);
    box.setWindowTitle(FromUtf8(title));
    box.setTextFormat(Qt::PlainText);
    box.setText(FromUtf8(text));
    box.setIcon(QMessageBox::NoIcon);
    box.setStandardButtons(QMessageBox::Ok);
    // A plain OK button, as on Windows (some styles put an icon on it).
    box.button(QMessageBox::Ok)->setIcon(QIcon());
    box.setWindowIcon(windowIcon());
    if (m_boxHook || m_autoAnswer) {
      // Runs inside the box's modal run, once it is up.
      QTimer::singleShot(0, &box, [this, &box] {
        if (m_boxHook) m_boxHook(box);
        if (m_autoAnswer) box.accept();
      });
    }
    box.exec();
    // The box has one button, OK; closing it any other way also answers OK,
    // as a Win32 MB_OK box does.
    return kMessageBoxOk;
  });
}

void QtDialogWindow::UpdateWorkChanged(bool running) {
  m_workRunning = running;
  if (running) {
    // The click's own thread: held before the worker starts.
    Send<bool>([this] {
      m_hold.Follow(m_workRunning);
      return true;
    });
    return;
  }
  // The worker's last step is queued, not waited for. The call follows the
  // latest state when it runs, so one that comes after the next click keeps
  // that run's hold; none runs once the window has shut down.
  {
    std::lock_guard lock(m_gate->mutex);
    if (m_gate->cancelled) return;
    m_gate->queue.push_back([this] { m_hold.Follow(m_workRunning); });
    QMetaObject::invokeMethod(this, "RunQueuedCalls", Qt::QueuedConnection);
  }
}

void QtDialogWindow::EndDialog(int result) {
  Send<bool>([this, result] {
    m_ended = true;
    m_endResult = result;
    // Before the window is up there is no modal run to end yet: Run() and
    // Start() see m_ended and never show the window.
    if (m_running) {
      m_running = false;
      QDialog::done(result);
    }
    return true;
  });
}

void QtDialogWindow::SetMessageBoxHook(std::function<void(QMessageBox&)> hook) { m_boxHook = std::move(hook); }

std::vector<QtDialogWindow::ShownBox> QtDialogWindow::ShownBoxes() const {
  std::lock_guard lock(m_boxesMutex);
  return m_boxes;
}

void QtDialogWindow::reject() {
  if (m_dialog != nullptr) {
    m_dialog->OnCancel();
  } else {
    EndDialog(kDialogResultCancel);
  }
}

void QtDialogWindow::accept() {
  if (m_dialog != nullptr) {
    m_dialog->OnOK();
  } else {
    EndDialog(kDialogResultOk);
  }
}

void QtDialogWindow::keyPressEvent(QKeyEvent* event) {
  const bool enter = (event->key() == Qt::Key_Return && event->modifiers() == Qt::NoModifier) ||
                     (event->key() == Qt::Key_Enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier);
  if (enter) {
    // Enter presses the focused "Update" button; anywhere else it is the
    // dialog's OK request.
    if (focusWidget() == &m_update && m_update.isEnabled()) {
      m_update.click();
    } else {
      accept();
    }
    event->accept();
    return;
  }
  // Escape ends in reject().
  QDialog::keyPressEvent(event);
}

}  // namespace orvik::qt
