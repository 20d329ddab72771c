#include "ui/qt_main_thread.h"

#include <algorithm>

#include <QMetaObject>

namespace drv {

struct QtMainThread::Call {
  enum class State { Waiting, Running, Done, Dropped };
  std::function<void()> task;
  State state = State::Waiting;
};

QtMainThread::QtMainThread() : mainThread_(std::this_thread::get_id()) {}

QtMainThread::~QtMainThread() {
  Stop();
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
    waiting_.push_back(call);
  }
  QMetaObject::invokeMethod(
      &receiver_, [this, call] { Run(call); }, Qt::QueuedConnection);

  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] {
    return call->state == Call::State::Done || call->state == Call::State::Dropped;
  });
  return call->state == Call::State::Done;
}

void QtMainThread::Run(const std::shared_ptr<Call>& call) {
  {
    std::lock_guard lock(mutex_);
    if (call->state != Call::State::Waiting) return;
    call->state = Call::State::Running;
  }
  // Whatever the task does, its caller must be released.
  struct Release {
    QtMainThread& self;
    const std::shared_ptr<Call>& call;
    ~Release() { self.Forget(call); }
  } release{*this, call};
  call->task();
}

void QtMainThread::Forget(const std::shared_ptr<Call>& call) {
  {
    std::lock_guard lock(mutex_);
    call->state = Call::State::Done;
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), call), waiting_.end());
  }
  changed_.notify_all();
}

void QtMainThread::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    for (const auto& call : waiting_) {
      if (call->state == Call::State::Waiting) call->state = Call::State::Dropped;
    }
    std::erase_if(waiting_, [](const auto& call) { return call->state == Call::State::Dropped; });
  }
  changed_.notify_all();
}

}  // namespace drv
