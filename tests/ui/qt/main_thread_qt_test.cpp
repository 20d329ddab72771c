#include "ui/qt/main_thread_qt.h"

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <QCoreApplication>

#include "tests/ui/qt/qt_test_support.h"

namespace drv {
namespace {

using testing::ProcessEventsUntil;

// Waits, without running the event loop, until a worker's task is queued.
bool WaitForPendingTask(const QtMainThread& mainThread) {
  for (int i = 0; i < testing::kSafetyBoundMs; ++i) {
    if (mainThread.PendingTasks() > 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class QtMainThreadTest : public ::testing::Test {
 protected:
  testing::QtApplicationUser app_;
  QtMainThread mainThread_;
};

TEST_F(QtMainThreadTest, OnTheMainThreadRunsTheTaskAtOnce) {
  bool ran = false;
  EXPECT_TRUE(mainThread_.RunAndWait([&] { ran = true; }));
  EXPECT_TRUE(ran);
}

TEST_F(QtMainThreadTest, AWorkersTaskRunsOnTheMainThreadFromTheEventLoop) {
  std::thread::id ranOn;
  auto result = std::async(std::launch::async, [&] {
    return mainThread_.RunAndWait([&] { ranOn = std::this_thread::get_id(); });
  });
  ASSERT_TRUE(ProcessEventsUntil(
      [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
  EXPECT_TRUE(result.get());
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(QtMainThreadTest, ManyWorkersEachWaitForTheirOwnTask) {
  constexpr int kWorkers = 4;
  constexpr int kCalls = 50;
  int total = 0;  // touched on the main thread only
  std::atomic<int> refused{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&] {
      for (int i = 0; i < kCalls; ++i) {
        int seen = -1;
        if (!mainThread_.RunAndWait([&] { seen = ++total; })) ++refused;
        // The task has run by the time the call returns.
        if (seen <= 0) ++refused;
      }
    });
  }
  EXPECT_TRUE(ProcessEventsUntil([&] { return total == kWorkers * kCalls; }));
  mainThread_.Stop();  // releases anyone left should the bound have passed
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(total, kWorkers * kCalls);
  EXPECT_EQ(refused.load(), 0);
}

TEST_F(QtMainThreadTest, StopReleasesAWaitingWorkerWithoutRunningItsTask) {
  std::atomic<bool> ran{false};
  auto result =
      std::async(std::launch::async, [&] { return mainThread_.RunAndWait([&] { ran = true; }); });
  ASSERT_TRUE(WaitForPendingTask(mainThread_));
  EXPECT_NE(result.wait_for(std::chrono::seconds(0)), std::future_status::ready);

  mainThread_.Stop();
  EXPECT_FALSE(result.get());
  EXPECT_EQ(mainThread_.PendingTasks(), 0u);
  // The worker's wake-up, arriving after the stop, runs nothing.
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
}

TEST_F(QtMainThreadTest, AfterStopAWorkersCallIsRefusedAtOnce) {
  mainThread_.Stop();
  std::atomic<bool> ran{false};
  // Nobody processes events here: only a refusal lets the worker return.
  auto result =
      std::async(std::launch::async, [&] { return mainThread_.RunAndWait([&] { ran = true; }); });
  EXPECT_FALSE(result.get());
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace drv
