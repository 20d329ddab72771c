#pragma once

#include <functional>

#include <QTimer>

#include "receiver/poll_timer.h"

namespace drv {

// The serial port's poll timer on the main thread's event loop: a precise repeating timer, so
// that a 5 ms period is kept as closely as the event loop allows.
class QtPollTimer final : public IPollTimer {
 public:
  explicit QtPollTimer(std::function<void()> onTick);

  void Start(unsigned periodMs) override;
  void Stop() override;

  bool IsActive() const { return timer_.isActive(); }
  int IntervalMs() const { return timer_.interval(); }

 private:
  std::function<void()> onTick_;
  QTimer timer_;
};

}  // namespace drv
