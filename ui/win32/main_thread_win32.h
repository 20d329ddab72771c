#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>

#include "base/main_thread.h"
#include "base/main_thread_tasks.h"

namespace drv {

// "Run on the main thread" through the Windows message loop: the tasks' hand-over of
// MainThreadTasks, woken by a message posted to a window of its own. Every loop of the thread
// dispatches it, the message loops of modal dialogs and menus included, so tasks keep running
// while the operator answers a dialog.
class Win32MainThread final : public IMainThread, public IMainThreadQueue {
 public:
  // Constructed on the main thread, which owns the message window from then on.
  Win32MainThread();
  ~Win32MainThread() override;
  Win32MainThread(const Win32MainThread&) = delete;
  Win32MainThread& operator=(const Win32MainThread&) = delete;

  bool RunAndWait(std::function<void()> task) override {
    return tasks_.RunAndWait(std::move(task));
  }
  // Queues `task` without waiting for it; see MainThreadTasks::Post.
  bool Post(std::function<void()> task) override { return tasks_.Post(std::move(task)); }

  // From now on tasks of other threads are refused, and tasks still waiting to run are dropped
  // with their callers released. Call before joining a worker.
  void Stop() { tasks_.Stop(); }

  // Tasks queued and not yet run.
  std::size_t PendingTasks() const { return tasks_.Pending(); }

  LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

 private:
  HWND window_ = nullptr;
  MainThreadTasks tasks_;
};

}  // namespace drv
