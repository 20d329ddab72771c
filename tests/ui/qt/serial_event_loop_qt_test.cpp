#include "ui/qt/serial_event_loop_qt.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <optional>

#include "base/clock.h"
#include "tests/ui/qt/qt_test_support.h"

namespace drv {
namespace {

using testing::ProcessEventsUntil;

// A pipe stands in for the device: its read end becomes readable as a line with input does.
class Pipe {
 public:
  Pipe() {
    if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) ADD_FAILURE() << "pipe2 failed";
  }
  ~Pipe() {
    close(fds_[0]);
    close(fds_[1]);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  SerialReadinessHandle Handle() const { return fds_[0]; }
  void Put() const { ASSERT_EQ(write(fds_[1], "x", 1), 1); }
  void Drain() const {
    char buffer[64];
    while (read(fds_[0], buffer, sizeof buffer) > 0) {
    }
  }

 private:
  int fds_[2] = {-1, -1};
};

class QtSerialEventLoopTest : public ::testing::Test {
 protected:
  // Runs the event loop until a marker timer of the loop's own kind has fired `ms` from now: by
  // then anything due earlier, or already readable, has had its turn.
  void SettleFor(int ms) {
    bool done = false;
    QTimer::singleShot(ms, Qt::PreciseTimer, [&] { done = true; });
    ASSERT_TRUE(ProcessEventsUntil([&] { return done; }));
  }

  testing::QtApplicationUser app_;
  QtSerialEventLoop loop_;
};

TEST_F(QtSerialEventLoopTest, CallsWhileInputWaitsAndStopsAfterUnwatch) {
  Pipe pipe;
  int calls = 0;
  loop_.Watch(pipe.Handle(), [&] {
    ++calls;
    pipe.Drain();
  });
  EXPECT_TRUE(loop_.Watching());
  SettleFor(10);
  EXPECT_EQ(calls, 0) << "nothing waits yet";

  pipe.Put();
  ASSERT_TRUE(ProcessEventsUntil([&] { return calls == 1; }));
  SettleFor(10);
  EXPECT_EQ(calls, 1) << "the callback read everything";

  loop_.Unwatch();
  EXPECT_FALSE(loop_.Watching());
  pipe.Put();
  SettleFor(10);
  EXPECT_EQ(calls, 1);
}

TEST_F(QtSerialEventLoopTest, CallsAgainWhileInputStaysUnread) {
  Pipe pipe;
  int calls = 0;
  loop_.Watch(pipe.Handle(), [&] { ++calls; });
  pipe.Put();
  EXPECT_TRUE(ProcessEventsUntil([&] { return calls >= 3; }));
  loop_.Unwatch();
}

TEST_F(QtSerialEventLoopTest, NewWatchReplacesTheOldOneAndMayBeDroppedFromItsCallback) {
  Pipe first;
  Pipe second;
  int firstCalls = 0;
  int secondCalls = 0;
  loop_.Watch(first.Handle(), [&] { ++firstCalls; });
  loop_.Watch(second.Handle(), [&] {
    ++secondCalls;
    loop_.Unwatch();  // input left unread: only a live watch would call again
  });
  first.Put();
  second.Put();
  ASSERT_TRUE(ProcessEventsUntil([&] { return secondCalls == 1; }));
  SettleFor(10);
  EXPECT_EQ(firstCalls, 0);
  EXPECT_EQ(secondCalls, 1);

  loop_.Watch(kNoReadinessHandle, [&] { ++firstCalls; });
  EXPECT_FALSE(loop_.Watching());
}

TEST_F(QtSerialEventLoopTest, TimerFiresOnceAndTheLastStartWins) {
  int firstFired = 0;
  int secondFired = 0;
  loop_.StartTimer(5000, [&] { ++firstFired; });
  loop_.StartTimer(8000, [&] { ++secondFired; });
  EXPECT_TRUE(loop_.TimerActive());
  ASSERT_TRUE(ProcessEventsUntil([&] { return secondFired == 1; }));
  SettleFor(20);
  EXPECT_EQ(firstFired, 0);
  EXPECT_EQ(secondFired, 1);
  EXPECT_FALSE(loop_.TimerActive());
}

TEST_F(QtSerialEventLoopTest, TimerStoppedDoesNotFireAndMayBeStartedFromItsCallback) {
  int stopped = 0;
  loop_.StartTimer(2000, [&] { ++stopped; });
  loop_.StopTimer();
  EXPECT_FALSE(loop_.TimerActive());

  int rounds = 0;
  std::function<void()> again = [&] {
    if (++rounds < 3) loop_.StartTimer(0, again);
  };
  loop_.StartTimer(0, again);
  ASSERT_TRUE(ProcessEventsUntil([&] { return rounds == 3; }));
  SettleFor(10);
  EXPECT_EQ(stopped, 0);
  EXPECT_EQ(rounds, 3);
}

// The component judges its packet time-out on the clock's microseconds, so the timer must not
// fire before they have moved on by the delay.
TEST_F(QtSerialEventLoopTest, TimerNeverFiresBeforeTheClockHasMovedOnByTheDelay) {
  SystemClock clock;
  for (const uint64_t delay : {0u, 1u, 999u, 1000u, 10001u}) {
    SCOPED_TRACE(delay);
    for (int round = 0; round < 10; ++round) {
      const uint64_t started = clock.MicrosecondCount();
      std::optional<uint64_t> firedAt;
      loop_.StartTimer(delay, [&] { firedAt = clock.MicrosecondCount(); });
      ASSERT_TRUE(ProcessEventsUntil([&] { return firedAt.has_value(); }));
      EXPECT_GE(*firedAt - started, delay);
    }
  }
}

}  // namespace
}  // namespace drv
