#include "base/main_thread_tasks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace drv {
namespace {

// A bound that only a hang reaches; no check depends on how fast anything is.
constexpr auto kSafetyBound = std::chrono::seconds(10);

// The event loop as the test thread plays it: it sleeps until a worker wakes it, then runs the
// queued tasks, as a front end's loop does on its wake-up message.
class WokenLoop {
 public:
  void Wake() {
    {
      std::lock_guard lock(mutex_);
      ++wakeUps_;
    }
    woken_.notify_all();
  }

  int WakeUps() const {
    std::lock_guard lock(mutex_);
    return wakeUps_;
  }

  // Turns the loop until `done()`; false when the safety bound passed first. Looks at `done()`
  // now and then also without a wake-up: a worker returns after its task has run.
  template <typename Done>
  bool RunUntil(MainThreadTasks& tasks, Done done) {
    const auto end = std::chrono::steady_clock::now() + kSafetyBound;
    int handled = 0;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      bool woken = false;
      {
        std::unique_lock lock(mutex_);
        woken = woken_.wait_for(lock, std::chrono::milliseconds(10),
                                [&] { return wakeUps_ > handled; });
        handled = wakeUps_;
      }
      if (woken) tasks.RunQueued();
    }
    return true;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable woken_;
  int wakeUps_ = 0;
};

// Waits, without running anything, until a worker's task is queued.
bool WaitForPendingTask(const MainThreadTasks& tasks) {
  const auto end = std::chrono::steady_clock::now() + kSafetyBound;
  while (tasks.Pending() == 0) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class MainThreadTasksTest : public ::testing::Test {
 protected:
  WokenLoop loop_;
  MainThreadTasks tasks_{[this] { loop_.Wake(); }};
};

TEST_F(MainThreadTasksTest, OnTheMainThreadRunsTheTaskAtOnceWithoutAWakeUp) {
  bool ran = false;
  EXPECT_TRUE(tasks_.RunAndWait([&] { ran = true; }));
  EXPECT_TRUE(ran);
  EXPECT_EQ(loop_.WakeUps(), 0);
}

TEST_F(MainThreadTasksTest, AWorkersTaskRunsOnTheMainThreadOnceTheLoopIsWoken) {
  std::thread::id ranOn;
  auto result = std::async(std::launch::async, [&] {
    return tasks_.RunAndWait([&] { ranOn = std::this_thread::get_id(); });
  });
  ASSERT_TRUE(loop_.RunUntil(tasks_, [&] {
    return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }));
  EXPECT_TRUE(result.get());
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(loop_.WakeUps(), 1);
  EXPECT_EQ(tasks_.Pending(), 0u);
}

TEST_F(MainThreadTasksTest, ManyWorkersEachWaitForTheirOwnTaskInTheirOwnOrder) {
  constexpr int kWorkers = 4;
  constexpr int kCalls = 50;
  // Touched on the main thread only.
  int total = 0;
  std::vector<int> lastSeen(kWorkers, -1);
  int outOfOrder = 0;
  std::atomic<int> failed{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < kCalls; ++i) {
        bool ran = false;
        if (!tasks_.RunAndWait([&, i] {
              if (lastSeen[w] != i - 1) ++outOfOrder;
              lastSeen[w] = i;
              ++total;
              ran = true;
            })) {
          ++failed;
        }
        // The task has run by the time the call returns.
        if (!ran) ++failed;
      }
    });
  }
  EXPECT_TRUE(loop_.RunUntil(tasks_, [&] { return total == kWorkers * kCalls; }));
  tasks_.Stop();  // releases anyone left should the bound have passed
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(total, kWorkers * kCalls);
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(failed.load(), 0);
}

TEST_F(MainThreadTasksTest, StopReleasesAWaitingWorkerWithoutRunningItsTask) {
  std::atomic<bool> ran{false};
  auto result =
      std::async(std::launch::async, [&] { return tasks_.RunAndWait([&] { ran = true; }); });
  ASSERT_TRUE(WaitForPendingTask(tasks_));
  EXPECT_NE(result.wait_for(std::chrono::seconds(0)), std::future_status::ready);

  tasks_.Stop();
  EXPECT_FALSE(result.get());
  EXPECT_EQ(tasks_.Pending(), 0u);
  // The worker's wake-up, handled after the stop, runs nothing.
  tasks_.RunQueued();
  EXPECT_FALSE(ran);
}

TEST_F(MainThreadTasksTest, AfterStopAWorkersCallIsRefusedAtOnceAndWakesNothing) {
  tasks_.Stop();
  std::atomic<bool> ran{false};
  // Nobody runs the loop here: only a refusal lets the worker return.
  auto result =
      std::async(std::launch::async, [&] { return tasks_.RunAndWait([&] { ran = true; }); });
  EXPECT_FALSE(result.get());
  EXPECT_EQ(loop_.WakeUps(), 0);
  tasks_.RunQueued();
  EXPECT_FALSE(ran);
}

TEST_F(MainThreadTasksTest, AWorkersTaskMayItselfRunAndWaitOnTheMainThread) {
  // The session's hooks call into the window, which may run a task of its own: on the main
  // thread that runs at once instead of waiting for itself.
  int depth = 0;
  auto result = std::async(std::launch::async, [&] {
    return tasks_.RunAndWait([&] {
      ++depth;
      tasks_.RunAndWait([&] { ++depth; });
    });
  });
  ASSERT_TRUE(loop_.RunUntil(tasks_, [&] {
    return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }));
  EXPECT_TRUE(result.get());
  EXPECT_EQ(depth, 2);
}

TEST_F(MainThreadTasksTest, APostedTaskRunsFromTheLoopInOrderEvenWhenPostedOnTheMainThread) {
  std::vector<int> ran;
  EXPECT_TRUE(tasks_.Post([&] { ran.push_back(1); }));
  EXPECT_TRUE(tasks_.Post([&] { ran.push_back(2); }));
  // Never inside the caller.
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(loop_.WakeUps(), 2);
  EXPECT_EQ(tasks_.Pending(), 2u);
  tasks_.RunQueued();
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

TEST_F(MainThreadTasksTest, AWorkerPostsWithoutWaitingAndItsTasksKeepTheirPlace) {
  std::vector<int> ran;  // main thread only
  std::promise<void> posted;
  std::thread worker([&] {
    tasks_.Post([&] { ran.push_back(1); });
    tasks_.Post([&] { ran.push_back(2); });
    posted.set_value();
    tasks_.RunAndWait([&] { ran.push_back(3); });
  });
  // Both posts return before the loop has run anything.
  ASSERT_EQ(posted.get_future().wait_for(kSafetyBound), std::future_status::ready);
  EXPECT_TRUE(loop_.RunUntil(tasks_, [&] { return ran.size() == 3; }));
  worker.join();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST_F(MainThreadTasksTest, StopDropsPostedTasksAndRefusesLaterOnes) {
  bool ran = false;
  ASSERT_TRUE(tasks_.Post([&] { ran = true; }));
  tasks_.Stop();
  EXPECT_EQ(tasks_.Pending(), 0u);
  EXPECT_FALSE(tasks_.Post([&] { ran = true; }));
  EXPECT_EQ(loop_.WakeUps(), 1);
  tasks_.RunQueued();
  EXPECT_FALSE(ran);
}

TEST_F(MainThreadTasksTest, TasksBehindOneThatTurnsANestedLoopRunAfterIt) {
  // A task whose work turns the event loop again (as a modal dialog does) sees the next task's
  // wake-up there; that task runs after it, not inside it.
  std::vector<std::string> steps;
  tasks_.Post([&] {
    steps.push_back("first begins");
    tasks_.RunQueued();  // the nested loop handles the wake-up
    steps.push_back("first ends");
  });
  tasks_.Post([&] { steps.push_back("second"); });
  tasks_.RunQueued();
  EXPECT_EQ(steps, (std::vector<std::string>{"first begins", "first ends", "second"}));
}

}  // namespace
}  // namespace drv
