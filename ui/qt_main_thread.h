#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <QObject>

#include "core/main_thread.h"

namespace drv {

// "Run on the main thread and wait" through the Qt event loop. A worker's task is posted as a
// queued call and the worker waits on a condition variable, not inside Qt, so that Stop() can
// release it: a blocking queued connection would wait for ever on a main thread that has left
// its event loop to join that very worker.
class QtMainThread final : public IMainThread {
 public:
  // Constructed on the main thread (the thread of the application's event loop).
  QtMainThread();
  ~QtMainThread() override;
  QtMainThread(const QtMainThread&) = delete;
  QtMainThread& operator=(const QtMainThread&) = delete;

  bool RunAndWait(std::function<void()> task) override;

  // From now on tasks of other threads are refused, and tasks still waiting to run are dropped
  // with their callers released (RunAndWait returns false). Call before joining a worker.
  void Stop();

 private:
  struct Call;
  void Run(const std::shared_ptr<Call>& call);
  void Forget(const std::shared_ptr<Call>& call);

  const std::thread::id mainThread_;
  QObject receiver_;  // queued calls go to it; they die with it
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<Call>> waiting_;
  bool stopped_ = false;
};

}  // namespace drv
