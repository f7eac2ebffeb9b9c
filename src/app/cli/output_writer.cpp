#include "app/cli/output_writer.h"

#include <system_error>

namespace orvik::cli {

bool OutputQueue::HasRoomFor(std::size_t bytes) const {
  if (m_lines == 0) return true;
  return m_lines < kOutputQueueLines && m_lineBytes <= kOutputQueueBytes && bytes <= kOutputQueueBytes - m_lineBytes;
}

void OutputQueue::PushLine(OutputStream stream, std::string text) {
  ++m_lines;
  m_lineBytes += text.size();
  m_entries.push_back({stream, std::move(text), std::nullopt, 0});
}

void OutputQueue::PushState(OutputStream stream, OutputSlot slot, std::string text, std::uint64_t key) {
  std::erase_if(m_entries, [slot, key](const Entry& entry) { return entry.slot == slot && entry.key == key; });
  m_entries.push_back({stream, std::move(text), slot, key});
}

std::deque<OutputQueue::Entry> OutputQueue::TakeAll() {
  std::deque<Entry> taken;
  taken.swap(m_entries);
  m_lines = 0;
  m_lineBytes = 0;
  return taken;
}

OutputWriter::OutputWriter(std::ostream& out, std::ostream& err) : m_out(out), m_err(err) {}

OutputWriter::~OutputWriter() { StopThread(); }

void OutputWriter::Write(OutputStream stream, std::string text) {
  std::unique_lock lock(m_mutex);
  m_room.wait(lock, [&] { return !m_threaded || m_queue.HasRoomFor(text.size()); });
  if (!m_threaded) {
    WriteOut({{stream, std::move(text), std::nullopt, 0}});
    return;
  }
  m_queue.PushLine(stream, std::move(text));
  m_queued.notify_one();
}

void OutputWriter::Update(OutputStream stream, OutputSlot slot, std::string text, std::uint64_t key) {
  std::lock_guard lock(m_mutex);
  if (!m_threaded) {
    WriteOut({{stream, std::move(text), slot, key}});
    return;
  }
  m_queue.PushState(stream, slot, std::move(text), key);
  m_queued.notify_one();
}

void OutputWriter::Append(OutputStream stream, std::string text) {
  std::lock_guard lock(m_mutex);
  if (!m_threaded) {
    WriteOut({{stream, std::move(text), std::nullopt, 0}});
    return;
  }
  m_queue.PushLine(stream, std::move(text));
  m_queued.notify_one();
}

void OutputWriter::StartThread() {
  std::lock_guard lock(m_mutex);
  if (m_thread.joinable()) return;
  try {
    m_thread = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    // No thread to be had (a process at its thread limit): the writes stay
    // on the callers' threads, as before an update; the update still runs.
    return;
  }
  m_threaded = true;
}

void OutputWriter::StopThread() {
  {
    std::lock_guard lock(m_mutex);
    if (!m_thread.joinable()) return;
    m_stopping = true;
  }
  m_queued.notify_all();
  m_thread.join();
  std::lock_guard lock(m_mutex);
  m_stopping = false;
}

void OutputWriter::Run() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_queued.wait(lock, [this] { return !m_queue.Empty() || m_stopping; });
    if (m_queue.Empty()) {
      m_written.notify_all();
      // Stopping, with everything written: callers write straight to the
      // streams from here on, the lines waiting for room included.
      m_threaded = false;
      m_room.notify_all();
      return;
    }
    const std::deque<OutputQueue::Entry> entries = m_queue.TakeAll();
    m_room.notify_all();
    // The output may block for as long as its reader likes; meanwhile the
    // callers queue (and their states replace each other).
    m_writing = true;
    lock.unlock();
    WriteOut(entries);
    lock.lock();
    m_writing = false;
    if (m_queue.Empty()) m_written.notify_all();
  }
}

bool OutputWriter::WaitUntilWritten(std::chrono::milliseconds bound) {
  std::unique_lock lock(m_mutex);
  return m_written.wait_for(lock, bound, [this] { return !m_threaded || (m_queue.Empty() && !m_writing); });
}

void OutputWriter::WriteOut(const std::deque<OutputQueue::Entry>& entries) {
  // Each stream is flushed before the other is written, so that with both in
  // one file the lines keep their order.
  std::ostream* unflushed = nullptr;
  for (const OutputQueue::Entry& entry : entries) {
    std::ostream& stream = entry.stream == OutputStream::Out ? m_out : m_err;
    if (unflushed != nullptr && unflushed != &stream) unflushed->flush();
    stream << entry.text;
    unflushed = &stream;
    ++m_entriesWritten;
  }
  if (unflushed != nullptr) unflushed->flush();
}

}  // namespace orvik::cli
