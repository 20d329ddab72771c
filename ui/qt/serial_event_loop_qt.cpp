#include "ui/qt/serial_event_loop_qt.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <utility>

namespace drv {

QtSerialEventLoop::QtSerialEventLoop()
    : timerFd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
  if (timerFd_ < 0) throw std::runtime_error("timerfd_create failed");
  QObject::connect(&notifier_, &QSocketNotifier::activated, [this] {
    // A copy: the callback may replace or drop the watch while it runs.
    if (const std::function<void()> call = onReadable_) call();
  });
  timerNotifier_ = std::make_unique<QSocketNotifier>(timerFd_, QSocketNotifier::Read);
  QObject::connect(timerNotifier_.get(), &QSocketNotifier::activated, [this] { TimerExpired(); });
}

QtSerialEventLoop::~QtSerialEventLoop() {
  timerNotifier_.reset();
  close(timerFd_);
}

void QtSerialEventLoop::Watch(SerialReadinessHandle handle, std::function<void()> onReadable) {
  notifier_.setEnabled(false);
  onReadable_ = nullptr;
  if (handle == kNoReadinessHandle) return;
  notifier_.setSocket(static_cast<qintptr>(handle));
  onReadable_ = std::move(onReadable);
  notifier_.setEnabled(true);
}

void QtSerialEventLoop::Unwatch() {
  notifier_.setEnabled(false);
  onReadable_ = nullptr;
}

void QtSerialEventLoop::StartTimer(uint64_t delayUs, std::function<void()> onTimeout) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  // The start of the microsecond in which the clock's microsecond count will have moved on by
  // delayUs (the system clock counts microseconds of CLOCK_MONOTONIC).
  const uint64_t dueUs = static_cast<uint64_t>(now.tv_sec) * 1000000u +
                         static_cast<uint64_t>(now.tv_nsec) / 1000u + delayUs;
  itimerspec due{};
  due.it_value.tv_sec = static_cast<time_t>(dueUs / 1000000u);
  due.it_value.tv_nsec = static_cast<long>(dueUs % 1000000u * 1000u);
  if (due.it_value.tv_sec == 0 && due.it_value.tv_nsec == 0) due.it_value.tv_nsec = 1;  // 0 disarms
  onTimeout_ = std::move(onTimeout);
  timerArmed_ = timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &due, nullptr) == 0;
}

void QtSerialEventLoop::StopTimer() {
  const itimerspec disarmed{};
  timerfd_settime(timerFd_, 0, &disarmed, nullptr);
  timerArmed_ = false;
  onTimeout_ = nullptr;
}

void QtSerialEventLoop::TimerExpired() {
  uint64_t expirations = 0;
  // Nothing to read: the expiry was cancelled or re-armed after the loop saw it.
  if (read(timerFd_, &expirations, sizeof expirations) != sizeof expirations) return;
  if (!timerArmed_) return;
  timerArmed_ = false;
  const std::function<void()> call = std::exchange(onTimeout_, nullptr);
  if (call) call();
}

}  // namespace drv
