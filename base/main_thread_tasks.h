#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "base/main_thread.h"

namespace drv {

// The hand-over behind IMainThread, for any event loop that another thread can wake: a worker
// queues its task under a mutex of our own, wakes the loop and waits on a condition variable;
// the loop, woken, runs the queued tasks on the main thread. Nothing but the wake-up passes
// through the toolkit, so the hand-over is plain to race checkers, and Stop() releases a waiting
// worker. (A toolkit's blocking call would wait for ever on a main thread that has left its
// event loop to join that very worker.)
class MainThreadTasks final : public IMainThread, public IMainThreadQueue {
 public:
  // Constructed on the main thread. `wake` is called on a worker's thread once its task is
  // queued; the event loop it wakes must call RunQueued() on the main thread soon after. One
  // wake-up may stand for several tasks.
  explicit MainThreadTasks(std::function<void()> wake);
  ~MainThreadTasks() override;
  MainThreadTasks(const MainThreadTasks&) = delete;
  MainThreadTasks& operator=(const MainThreadTasks&) = delete;

  bool RunAndWait(std::function<void()> task) override;

  // Queues `task` to run on the main thread after the tasks queued before it and returns at
  // once, from any thread, the main thread included (its task then runs from the event loop, not
  // inside the caller). False, the task dropped unrun, once the tasks are stopped.
  bool Post(std::function<void()> task) override;

  // On the main thread: runs every task queued so far, and those queued meanwhile, in order.
  // Returns at once when called again from inside one of them.
  void RunQueued();

  // From now on tasks of other threads are refused, and tasks still waiting to run are dropped
  // with their callers released (RunAndWait returns false). Call before joining a worker.
  void Stop();

  // Tasks queued and not yet run.
  std::size_t Pending() const;

 private:
  struct Call;

  const std::thread::id mainThread_;
  const std::function<void()> wake_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Call>> queue_;
  bool stopped_ = false;
  bool running_ = false;  // main thread only
};

}  // namespace drv
