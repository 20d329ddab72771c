#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "base/main_thread.h"

class QSocketNotifier;

namespace drv {

// "Run on the main thread and wait" through the Qt event loop. A worker queues its task under a
// mutex of our own, wakes the event loop through an eventfd and waits on a condition variable:
// nothing but the wake-up passes through Qt, so the hand-over is plain to race checkers, and
// Stop() can release a waiting worker. (A blocking queued connection would wait for ever on a
// main thread that has left its event loop to join that very worker.)
class QtMainThread final : public IMainThread {
 public:
  // Constructed on the main thread (the thread of the application's event loop), after the
  // application object.
  QtMainThread();
  ~QtMainThread() override;
  QtMainThread(const QtMainThread&) = delete;
  QtMainThread& operator=(const QtMainThread&) = delete;

  bool RunAndWait(std::function<void()> task) override;

  // From now on tasks of other threads are refused, and tasks still waiting to run are dropped
  // with their callers released (RunAndWait returns false). Call before joining a worker.
  void Stop();

  // Tasks queued by workers and not yet run.
  std::size_t PendingTasks() const;

 private:
  struct Call;
  void RunQueuedTasks();

  const std::thread::id mainThread_;
  int wakeFd_ = -1;
  std::unique_ptr<QSocketNotifier> wakeNotifier_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Call>> queue_;
  bool stopped_ = false;
};

}  // namespace drv
