#include "ui/qt_serial_event_loop.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace drv {

QtSerialEventLoop::QtSerialEventLoop() {
  // The packet time-out is counted in whole milliseconds: a coarse timer would add up to 5 %.
  timer_.setTimerType(Qt::PreciseTimer);
  timer_.setSingleShot(true);
  QObject::connect(&notifier_, &QSocketNotifier::activated, [this] {
    // A copy: the callback may replace or drop the watch while it runs.
    if (const std::function<void()> call = onReadable_) call();
  });
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    const std::function<void()> call = std::exchange(onTimeout_, nullptr);
    if (call) call();
  });
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

void QtSerialEventLoop::StartTimer(uint32_t delayMs, std::function<void()> onTimeout) {
  onTimeout_ = std::move(onTimeout);
  const uint32_t limit = static_cast<uint32_t>(std::numeric_limits<int>::max());
  timer_.start(static_cast<int>(std::min(delayMs, limit)));
}

void QtSerialEventLoop::StopTimer() {
  timer_.stop();
  onTimeout_ = nullptr;
}

}  // namespace drv
