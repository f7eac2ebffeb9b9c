#include "app/cli/output_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
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
// reads: the writer's thread waits in it. Written by that thread only.
class ClosedOutput : public std::streambuf {
 public:
  std::promise<void> open;
  std::atomic<bool> waiting{false};
  std::string text;

 protected:
  std::streamsize xsputn(const char* bytes, std::streamsize size) override {
    waiting = true;
    m_opened.wait();
    text.append(bytes, static_cast<std::size_t>(size));
    return size;
  }

 private:
  std::shared_future<void> m_opened = open.get_future().share();
};

TEST(OutputWriter, ALineBeyondTheBoundWaitsForRoomWhileTheOutputBlocksAndIsNotDropped) {
  ClosedOutput closed;
  std::ostream out(&closed);
  std::ostringstream err;
  OutputWriter writer(out, err);
  writer.StartThread();
  writer.Write(OutputStream::Out, "first\n");
  ASSERT_TRUE(test::WaitUntil([&] { return closed.waiting.load(); }, 10s));

  std::atomic<std::size_t> written{0};
  std::thread caller([&] {
    for (std::size_t i = 0; i <= kOutputQueueLines; ++i) {
      writer.Update(OutputStream::Out, OutputSlot::Progress, "p\n");  // a state never waits
      writer.Write(OutputStream::Err, std::to_string(i) + '\n');
      ++written;
    }
  });
  EXPECT_FALSE(test::WaitUntil([&] { return written.load() > kOutputQueueLines; }, 300ms));
  EXPECT_EQ(written.load(), kOutputQueueLines);
  closed.open.set_value();
  caller.join();
  writer.StopThread();

  EXPECT_EQ(closed.text, "first\np\n");
  const std::vector<std::string> lines = test::SplitLines(err.str());
  ASSERT_EQ(lines.size(), kOutputQueueLines + 1);
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], std::to_string(i));
}

}  // namespace
}  // namespace orvik::cli
