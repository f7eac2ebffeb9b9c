// The command line's standard output and error, written so that the update
// worker never waits for them.
//
// A terminal stopped with Ctrl+S, or a pipe whose reader is slow (`| less`, a
// script that reads only at the end), blocks every write to it. Were the
// worker to write its progress itself, the update would stand still between
// two blocks until the reader caught up, with the controller half-written.
//
// So while an update runs (ScopedOutputThread), the callers only queue what
// they write, and a thread of the writer's own writes it out:
//   - a line (Write) is never dropped: message boxes, notices, results;
//   - a state (Update) is one of a few slots: the progress bar, the elapsed
//     time. While the output cannot take more, a new state replaces the one
//     of its slot still queued, so a stalled output holds at most one state
//     per slot, the latest.
// The queue is bounded (kOutputQueueLines lines, kOutputQueueBytes bytes);
// a line that would exceed the bound waits for room rather than being lost.
// An update writes a handful of lines, far below the bound, so in practice
// only a runaway caller ever waits.
//
// Before and after the update, writes go straight to the stream on the
// calling thread (the main thread), as a command line program's output
// usually does: nothing is left queued when the program exits.
//
// A stream that fails (a pipe whose reader has gone, with SIGPIPE ignored
// while the update runs) stays failed: what is written to it is dropped at
// once, and the writer neither waits nor ends the program.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

namespace orvik::cli {

enum class OutputStream { Out, Err };

// What a state written with OutputWriter::Update is the state of. A queued
// state is replaced by the next one of its slot.
enum class OutputSlot {
  StatusLine,    // the terminal's progress line
  Progress,      // the "progress" event
  Elapsed,       // the "elapsed" event
  StationTable,  // a station's live table of the units in flight
};

// At most this many lines, and this many bytes of lines, wait to be written.
// States are not counted: there is at most one queued per slot.
inline constexpr std::size_t kOutputQueueLines = 256;
inline constexpr std::size_t kOutputQueueBytes = 64 * 1024;

// What waits to be written, in order. Not thread-safe: OutputWriter locks
// around it.
class OutputQueue {
 public:
  struct Entry {
    OutputStream stream;
    std::string text;
    std::optional<OutputSlot> slot;  // empty for a line
    std::uint64_t key = 0;           // a slot per key (a station's unit)
  };

  // True when a line of `bytes` bytes fits within the bounds. A line longer
  // than the byte bound fits into a queue that holds no line.
  bool HasRoomFor(std::size_t bytes) const;
  // Queues a line; check HasRoomFor first.
  void PushLine(OutputStream stream, std::string text);
  // Queues a state at the end, removing the one of its slot and key still
  // queued.
  void PushState(OutputStream stream, OutputSlot slot, std::string text, std::uint64_t key = 0);
  // Everything queued, in order; the queue is empty afterwards.
  std::deque<Entry> TakeAll();

  bool Empty() const { return m_entries.empty(); }

 private:
  std::deque<Entry> m_entries;
  std::size_t m_lines = 0;
  std::size_t m_lineBytes = 0;
};

class OutputWriter {
 public:
  // The streams must outlive the writer.
  OutputWriter(std::ostream& out, std::ostream& err);
  ~OutputWriter();
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;

  // Writes `text` as it is (with its own line ends), never dropping it.
  // Waits only while the queue is at its bound.
  void Write(OutputStream stream, std::string text);
  // Writes `text` as the latest state of `slot` (of `key`'s slot: each
  // unit of a station has its own). Never waits.
  void Update(OutputStream stream, OutputSlot slot, std::string text, std::uint64_t key = 0);
  // Writes `text` as it is, never dropping it and never waiting: past the
  // bound the queue grows. For a caller that must not wait for a reader (a
  // station's engine) and writes a few lines per unit.
  void Append(OutputStream stream, std::string text);

  // From now on a thread of the writer's own writes, and Write and Update
  // return at once. No effect while it runs already; where no thread can be
  // started, writes stay on the callers' threads.
  void StartThread();
  // Writes everything queued (waiting for the output as long as it takes)
  // and ends the thread; writes go straight to the streams again.
  void StopThread();
  // Waits at most `bound` until everything queued so far has been written.
  // True when it has (or no thread runs).
  bool WaitUntilWritten(std::chrono::milliseconds bound);
  // How many lines and states the writer's thread has handed to the streams
  // so far: it grows while the output moves, and stands still while the
  // reader takes nothing.
  std::uint64_t EntriesWritten() const { return m_entriesWritten.load(); }

 private:
  void Run();
  // Writes `entries` and flushes each stream it wrote to. Without m_mutex.
  void WriteOut(const std::deque<OutputQueue::Entry>& entries);

  std::ostream& m_out;
  std::ostream& m_err;

  std::mutex m_mutex;
  std::condition_variable m_queued;  // the writer thread waits for entries
  std::condition_variable m_room;    // a line waits for room in the queue
  OutputQueue m_queue;
  std::condition_variable m_written;  // the queue is empty and nothing is being written
  bool m_threaded = false;  // the thread writes; callers queue
  bool m_writing = false;   // the thread is writing entries it has taken
  bool m_stopping = false;
  std::thread m_thread;
  std::atomic<std::uint64_t> m_entriesWritten{0};
};

// Runs the writer's thread for its own lifetime: the span of an update.
class ScopedOutputThread {
 public:
  explicit ScopedOutputThread(OutputWriter& writer) : m_writer(writer) { m_writer.StartThread(); }
  ~ScopedOutputThread() { m_writer.StopThread(); }
  ScopedOutputThread(const ScopedOutputThread&) = delete;
  ScopedOutputThread& operator=(const ScopedOutputThread&) = delete;

 private:
  OutputWriter& m_writer;
};

}  // namespace orvik::cli
