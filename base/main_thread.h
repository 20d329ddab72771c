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

}  // namespace drv
