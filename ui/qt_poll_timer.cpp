#include "ui/qt_poll_timer.h"

#include <algorithm>
#include <limits>

namespace drv {

QtPollTimer::QtPollTimer(std::function<void()> onTick) : onTick_(std::move(onTick)) {
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, [this] { onTick_(); });
}

void QtPollTimer::Start(unsigned periodMs) {
  const unsigned limit = static_cast<unsigned>(std::numeric_limits<int>::max());
  timer_.start(static_cast<int>(std::min(periodMs, limit)));
}

void QtPollTimer::Stop() {
  timer_.stop();
}

}  // namespace drv
