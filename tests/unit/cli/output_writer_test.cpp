#include "app/cli/output_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace orvik::cli {
namespace {

using namespace std::chrono_literals;

// "o:" or "e:" and the text of each entry, in order.
std::vector<std::string> Describe(const std::deque<OutputQueue::Entry>& entries) {
  std::vector<std::string> described;
  for (const OutputQueue::Entry& entry : entries) {
    described.push_back((entry.stream == OutputStream::Out ? "o:" : "e:") + entry.text);
  }
  return described;
}

TEST(OutputQueue, AStateReplacesTheQueuedStateOfItsSlotAndNoLineIsDropped) {
  struct Step {
    std::optional<OutputSlot> slot;  // empty: a line
    OutputStream stream;
    std::string text;
  };
  const auto line = [](OutputStream stream, std::string text) { return Step{std::nullopt, stream, std::move(text)}; };
  const auto state = [](OutputSlot slot, std::string text) { return Step{slot, OutputStream::Out, std::move(text)}; };
  constexpr auto kOut = OutputStream::Out;
  constexpr auto kErr = OutputStream::Err;
  constexpr auto kProgress = OutputSlot::Progress;
  constexpr auto kElapsed = OutputSlot::Elapsed;
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> queued;
  };
  const Case cases[] = {
      {"the latest state of a slot is kept",
       {state(kProgress, "1"), state(kProgress, "2"), state(kProgress, "3")},
       {"o:3"}},
      {"slots are replaced each on its own",
       {state(kProgress, "1"), state(kElapsed, "a"), state(kProgress, "2"), state(OutputSlot::StatusLine, "s")},
       {"o:a", "o:2", "o:s"}},
      {"lines keep their order on both streams",
       {line(kOut, "a"), line(kErr, "b"), line(kOut, "a")},
       {"o:a", "e:b", "o:a"}},
      {"a line keeps the state queued before it until a newer one comes",
       {state(kProgress, "1"), line(kErr, "m")},
       {"o:1", "e:m"}},
      {"a newer state goes behind the lines queued since the older one",
       {state(kProgress, "1"), line(kErr, "m"), line(kOut, "n"), state(kProgress, "2")},
       {"e:m", "o:n", "o:2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OutputQueue queue;
    for (const Step& step : c.steps) {
      if (step.slot) {
        queue.PushState(step.stream, *step.slot, step.text);
      } else {
        ASSERT_TRUE(queue.HasRoomFor(step.text.size()));
        queue.PushLine(step.stream, step.text);
      }
    }
    EXPECT_EQ(Describe(queue.TakeAll()), c.queued);
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(queue.Lines(), 0u);
    EXPECT_EQ(queue.LineBytes(), 0u);
  }
}

TEST(OutputQueue, LinesFitUntilTheLineOrByteBoundAndStatesAlwaysFit) {
  const struct {
    std::size_t lineSize;
    std::size_t fitting;
  } cases[] = {
      {1, kOutputQueueLines},
      {kOutputQueueBytes / kOutputQueueLines, kOutputQueueLines},
      {kOutputQueueBytes / kOutputQueueLines + 1, kOutputQueueLines - 1},
      {kOutputQueueBytes / 2, 2},
      {kOutputQueueBytes / 2 + 1, 1},
      // Longer than the whole bound: it goes alone, or it could never go.
      {kOutputQueueBytes * 3, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lineSize);
    OutputQueue queue;
    std::size_t fitted = 0;
    while (fitted <= kOutputQueueLines && queue.HasRoomFor(c.lineSize)) {
      queue.PushLine(OutputStream::Err, std::string(c.lineSize, 'x'));
      ++fitted;
    }
    EXPECT_EQ(fitted, c.fitting);
    // A full queue still takes the latest state of each slot.
    for (int i = 0; i < 3; ++i) queue.PushState(OutputStream::Out, OutputSlot::Progress, "p");
    EXPECT_EQ(queue.TakeAll().size(), c.fitting + 1);
    EXPECT_TRUE(queue.HasRoomFor(c.lineSize));
  }
}

// An output that takes nothing until it is opened, like a pipe that nobody
// reads: whoever writes to it waits.
class ClosedOutput : public std::streambuf {
 public:
  void Open() {
    {
      std::lock_guard lock(m_mutex);
      m_open = true;
    }
    m_changed.notify_all();
  }
  bool SomeoneWaits() {
    std::lock_guard lock(m_mutex);
    return m_waiting;
  }
  std::string Text() {
    std::lock_guard lock(m_mutex);
    return m_text;
  }

 protected:
  std::streamsize xsputn(const char* text, std::streamsize size) override {
    std::unique_lock lock(m_mutex);
    m_waiting = true;
    m_changed.wait(lock, [this] { return m_open; });
    m_text.append(text, static_cast<std::size_t>(size));
    return size;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_open = false;
  bool m_waiting = false;
  std::string m_text;
};

class OutputWriterTest : public ::testing::Test {
 protected:
  // Starts the writer's thread and holds it in a write to the closed output.
  void HoldTheWriter() {
    writer.StartThread();
    writer.Write(OutputStream::Out, "first\n");
    ASSERT_TRUE(test::WaitUntil([&] { return output.SomeoneWaits(); }, 10s));
  }

  ClosedOutput output;
  std::ostream out{&output};
  std::ostringstream err;
  OutputWriter writer{out, err};
};

TEST_F(OutputWriterTest, WhileTheOutputBlocksCallersReturnAndAfterwardsEveryLineAndTheLatestStateArrive) {
  HoldTheWriter();
  std::atomic<bool> done{false};
  std::thread worker([&] {
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on
    // "literal" + std::string.
    const auto numbered = [](char prefix, int i) {
      std::string text(1, prefix);
      text += std::to_string(i);
      text += '\n';
      return text;
    };
    for (int i = 0; i < 1000; ++i) {
      writer.Update(OutputStream::Out, OutputSlot::Progress, numbered('p', i));
      if (i % 100 == 0) writer.Write(OutputStream::Err, numbered('m', i));
    }
    done = true;
  });
  const bool returned = test::WaitUntil([&] { return done.load(); }, 10s);
  output.Open();
  worker.join();
  EXPECT_TRUE(returned) << "a caller waited for the blocked output";
  writer.StopThread();

  EXPECT_EQ(output.Text(), "first\np999\n");
  EXPECT_EQ(err.str(), "m0\nm100\nm200\nm300\nm400\nm500\nm600\nm700\nm800\nm900\n");
  // With the thread stopped the writer writes at once on the caller's thread.
  writer.Write(OutputStream::Err, "after\n");
  EXPECT_EQ(err.str().substr(err.str().size() - 6), "after\n");
}

TEST_F(OutputWriterTest, ALineBeyondTheBoundWaitsForRoomInsteadOfBeingDropped) {
  HoldTheWriter();
  std::atomic<std::size_t> written{0};
  std::thread worker([&] {
    for (std::size_t i = 0; i <= kOutputQueueLines; ++i) {
      writer.Write(OutputStream::Err, std::to_string(i) + "\n");
      ++written;
    }
  });
  EXPECT_FALSE(test::WaitUntil([&] { return written.load() > kOutputQueueLines; }, 300ms));
  EXPECT_EQ(written.load(), kOutputQueueLines);
  output.Open();
  worker.join();
  writer.StopThread();

  const std::vector<std::string> lines = test::SplitLines(err.str());
  ASSERT_EQ(lines.size(), kOutputQueueLines + 1);
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], std::to_string(i));
}

}  // namespace
}  // namespace orvik::cli
