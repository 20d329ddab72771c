#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>

#include "base/main_thread.h"
#include "base/main_thread_tasks.h"

class QSocketNotifier;

namespace drv {

// "Run on the main thread and wait" through the Qt event loop: the tasks' hand-over of
// MainThreadTasks, woken through an eventfd that a read notifier of the event loop watches.
class QtMainThread final : public IMainThread {
 public:
  // Constructed on the main thread (the thread of the application's event loop), after the
  // application object.
  QtMainThread();
  ~QtMainThread() override;
  QtMainThread(const QtMainThread&) = delete;
  QtMainThread& operator=(const QtMainThread&) = delete;

  bool RunAndWait(std::function<void()> task) override {
    return tasks_.RunAndWait(std::move(task));
  }

  // From now on tasks of other threads are refused, and tasks still waiting to run are dropped
  // with their callers released (RunAndWait returns false). Call before joining a worker.
  void Stop() { tasks_.Stop(); }

  // Tasks queued by workers and not yet run.
  std::size_t PendingTasks() const { return tasks_.Pending(); }

 private:
  int wakeFd_ = -1;
  MainThreadTasks tasks_;
  std::unique_ptr<QSocketNotifier> wakeNotifier_;
};

}  // namespace drv
