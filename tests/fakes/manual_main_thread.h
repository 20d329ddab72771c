#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "base/main_thread.h"

namespace drv::testing {

// Runs tasks at once on the calling thread: for single-threaded tests.
class InlineMainThread final : public IMainThread {
 public:
  bool RunAndWait(std::function<void()> task) override {
    task();
    return true;
  }
};

// The test thread plays the main thread: worker tasks wait in a queue until RunPending().
class ManualMainThread final : public IMainThread {
 public:
  ManualMainThread() : owner_(std::this_thread::get_id()) {}

  bool RunAndWait(std::function<void()> task) override {
    if (std::this_thread::get_id() == owner_) {
      task();
      return true;
    }
    std::unique_lock lock(mutex_);
    if (stopped_) return false;
    auto done = std::make_shared<bool>(false);
    queue_.push_back([task = std::move(task), done] {
      task();
      *done = true;
    });
    changed_.notify_all();
    changed_.wait(lock, [&] { return *done || stopped_; });
    return *done;
  }

  // Runs every queued task; returns how many ran.
  int RunPending() {
    int count = 0;
    std::unique_lock lock(mutex_);
    while (!queue_.empty()) {
      auto task = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      task();
      ++count;
      lock.lock();
      changed_.notify_all();
    }
    return count;
  }

  // Waits until a worker has queued a task (or the timeout passes); true when one is queued.
  bool WaitForTask(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !queue_.empty(); });
  }

  // From now on workers are refused, and waiting workers are released.
  void Stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    queue_.clear();
    changed_.notify_all();
  }

 private:
  std::thread::id owner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> queue_;
  bool stopped_ = false;
};

// The test thread plays the main thread of a front end with a task queue: helper threads post,
// RunUntil runs what they posted, on the test thread, until a condition holds.
class ManualMainThreadQueue final : public IMainThreadQueue {
 public:
  ManualMainThreadQueue() : owner_(std::this_thread::get_id()) {}

  bool Post(std::function<void()> task) override {
    std::lock_guard lock(mutex_);
    if (stopped_) return false;
    queue_.push_back(std::move(task));
    changed_.notify_all();
    return true;
  }

  // Runs posted tasks as they come until `done` holds or `bound` has passed; true when it holds.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    for (;;) {
      if (done()) return true;
      std::unique_lock lock(mutex_);
      if (!changed_.wait_until(lock, until, [&] { return !queue_.empty(); })) return done();
      auto task = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      task();
      ++ran_;
    }
  }

  // Runs what is posted for `period`, whatever comes.
  void RunFor(std::chrono::milliseconds period) {
    RunUntil([] { return false; }, period);
  }

  bool OnMainThread() const { return std::this_thread::get_id() == owner_; }
  int Ran() const { return ran_; }

  // From now on posts are refused and what waits is dropped.
  void Stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    queue_.clear();
  }

 private:
  std::thread::id owner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> queue_;
  bool stopped_ = false;
  int ran_ = 0;
};

}  // namespace drv::testing
