#pragma once

#include <functional>

namespace drv {

// "Run this on the main thread and wait": the only way a worker thread touches main-thread state.
class IMainThread {
 public:
  virtual ~IMainThread() = default;
  // Runs `task` on the main thread and returns once it has run. Returns false without running it
  // once the main thread has stopped taking tasks (shutdown), so a worker never waits for ever.
  // Called on the main thread itself, it runs the task at once.
  virtual bool RunAndWait(std::function<void()> task) = 0;
};

// "Run this on the main thread soon", without waiting: for a helper thread that the main thread
// itself waits for at times (a serial device's watcher, which the main thread stops before it
// closes the device), and which therefore must never wait for the main thread.
class IMainThreadQueue {
 public:
  virtual ~IMainThreadQueue() = default;
  // Queues `task` to run on the main thread, in the order of the calls, and returns at once; the
  // task runs between the main thread's other events, never inside another task or handler.
  // Callable from any thread, the main thread included. Returns false, dropping the task unrun,
  // once the main thread takes no more tasks (shutdown).
  virtual bool Post(std::function<void()> task) = 0;
};

}  // namespace drv
