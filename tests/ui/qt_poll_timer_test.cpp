#include "ui/qt_poll_timer.h"

#include <gtest/gtest.h>

#include "tests/ui/qt_test_support.h"

namespace drv {
namespace {

using testing::ProcessEventsUntil;

TEST(QtPollTimerTest, TicksWhileStartedAndNotAfterStop) {
  testing::QtApplicationUser app;
  int ticks = 0;
  QtPollTimer timer([&] { ++ticks; });
  EXPECT_FALSE(timer.IsActive());

  timer.Start(5);
  EXPECT_TRUE(timer.IsActive());
  EXPECT_EQ(timer.IntervalMs(), 5);
  EXPECT_TRUE(ProcessEventsUntil([&] { return ticks >= 3; }));

  // A new start takes the new period.
  timer.Start(20);
  EXPECT_TRUE(timer.IsActive());
  EXPECT_EQ(timer.IntervalMs(), 20);

  timer.Stop();
  EXPECT_FALSE(timer.IsActive());
  const int ticksAtStop = ticks;
  QCoreApplication::processEvents();
  EXPECT_EQ(ticks, ticksAtStop);
}

}  // namespace
}  // namespace drv
