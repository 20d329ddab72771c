#include "ui/qt/qt_main_thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

#include <QSocketNotifier>

namespace drv {

struct QtMainThread::Call {
  enum class State { kWaiting, kRunning, kDone, kDropped };
  std::function<void()> task;
  State state = State::kWaiting;
};

QtMainThread::QtMainThread()
    : mainThread_(std::this_thread::get_id()), wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (wakeFd_ < 0) throw std::runtime_error("eventfd failed");
  wakeNotifier_ = std::make_unique<QSocketNotifier>(wakeFd_, QSocketNotifier::Read);
  QObject::connect(wakeNotifier_.get(), &QSocketNotifier::activated, [this] { RunQueuedTasks(); });
}

QtMainThread::~QtMainThread() {
  Stop();
  wakeNotifier_.reset();
  close(wakeFd_);
}

bool QtMainThread::RunAndWait(std::function<void()> task) {
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
  const uint64_t one = 1;
  // The counter only overflows after 2^64 - 1 unread wake-ups; a failed write is one of many.
  [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);

  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] {
    return call->state == Call::State::kDone || call->state == Call::State::kDropped;
  });
  return call->state == Call::State::kDone;
}

void QtMainThread::RunQueuedTasks() {
  uint64_t wakeUps = 0;
  [[maybe_unused]] const ssize_t drained = read(wakeFd_, &wakeUps, sizeof wakeUps);
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
      QtMainThread& self;
      Call& call;
      ~Release() {
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

void QtMainThread::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    for (const auto& call : queue_) call->state = Call::State::kDropped;
    queue_.clear();
  }
  changed_.notify_all();
}

std::size_t QtMainThread::PendingTasks() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

}  // namespace drv
