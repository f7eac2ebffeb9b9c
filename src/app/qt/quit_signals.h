// SIGINT, SIGTERM, SIGHUP and the other signals that end a program by
// default (app::EndingSignals) as requests to close the program, delivered
// on the user-interface thread.
//
// A signal handler may do almost nothing: this one writes the signal's
// number to a self-pipe. A QSocketNotifier on the pipe's other end then calls
// the callback from the event loop, where the program decides what the
// request means (while an update runs: wait for its end). A signal that the
// program was started with ignored (nohup, a background job's SIGINT) stays
// ignored. SIGPIPE is ignored while the object exists.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace orvik::qt {

class QuitSignals final : public QObject {
  Q_OBJECT

 public:
  // Installs the handlers; `onRequest` gets the signal's number, on the
  // thread that constructs this object. One instance at a time.
  explicit QuitSignals(std::function<void(int)> onRequest);
  // Restores the dispositions found at construction.
  ~QuitSignals() override;
  QuitSignals(const QuitSignals&) = delete;
  QuitSignals& operator=(const QuitSignals&) = delete;

 private:
  void OnReadable();

  std::function<void(int)> m_onRequest;
  int m_pipe[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> m_notifier;
  struct Saved;
  std::unique_ptr<Saved> m_saved;
};

}  // namespace orvik::qt
