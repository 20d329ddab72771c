#include "base/main_thread_tasks.h"

#include <utility>

namespace drv {

struct MainThreadTasks::Call {
  enum class State { kWaiting, kRunning, kDone, kDropped };
  std::function<void()> task;
  State state = State::kWaiting;
  bool waited = true;  // a caller waits for it (RunAndWait), or nobody does (Post)
};

MainThreadTasks::MainThreadTasks(std::function<void()> wake)
    : mainThread_(std::this_thread::get_id()), wake_(std::move(wake)) {}

MainThreadTasks::~MainThreadTasks() {
  Stop();
}

bool MainThreadTasks::RunAndWait(std::function<void()> task) {
  if (std::this_thread::get_id() == mainThread_) {
    task();
    return true;
  }
  auto call = std::make_shared<Call>();
  call->task = std::move(task);
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return false;
    queue_.push_back(call);
  }
  wake_();

  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] {
    return call->state == Call::State::kDone || call->state == Call::State::kDropped;
  });
  return call->state == Call::State::kDone;
}

bool MainThreadTasks::Post(std::function<void()> task) {
  auto call = std::make_shared<Call>();
  call->task = std::move(task);
  call->waited = false;
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return false;
    queue_.push_back(std::move(call));
  }
  wake_();
  return true;
}

void MainThreadTasks::RunQueued() {
  // A task that runs a nested event loop (a modal dialog) is woken again for the tasks behind it;
  // they wait for it to end, so that tasks never run inside one another.
  if (running_) return;
  running_ = true;
  struct Running {
    bool& flag;
    ~Running() { flag = false; }
  } running{running_};
  for (;;) {
    std::shared_ptr<Call> call;
    {
      std::lock_guard lock(mutex_);
      if (stopped_ || queue_.empty()) return;
      call = queue_.front();
      queue_.pop_front();
      call->state = Call::State::kRunning;
    }
    // Whatever the task does, its caller is released.
    struct Release {
      MainThreadTasks& self;
      Call& call;
      ~Release() {
        if (!call.waited) return;
        {
          std::lock_guard lock(self.mutex_);
          call.state = Call::State::kDone;
        }
        self.changed_.notify_all();
      }
    } release{*this, *call};
    call->task();
  }
}

void MainThreadTasks::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    for (const auto& queued : queue_) queued->state = Call::State::kDropped;
    queue_.clear();
  }
  changed_.notify_all();
}

std::size_t MainThreadTasks::Pending() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

}  // namespace drv
