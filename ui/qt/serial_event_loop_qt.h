#pragma once

#include <functional>
#include <memory>

#include <QSocketNotifier>

#include "receiver/serial_event_loop.h"

namespace drv {

// The serial port's events on the Qt event loop: a read notifier on the device's descriptor, and
// a one-shot timer on a timerfd set to the millisecond boundary of CLOCK_MONOTONIC, the clock of
// the tick count, so that a time-out fires the moment the tick count reaches it rather than up to
// a millisecond later. Constructed on the main thread, after the application object.
class QtSerialEventLoop final : public ISerialEventLoop {
 public:
  QtSerialEventLoop();
  ~QtSerialEventLoop() override;
  QtSerialEventLoop(const QtSerialEventLoop&) = delete;
  QtSerialEventLoop& operator=(const QtSerialEventLoop&) = delete;

  void Watch(SerialReadinessHandle handle, std::function<void()> onReadable) override;
  void Unwatch() override;
  void StartTimer(uint64_t delayUs, std::function<void()> onTimeout) override;
  void StopTimer() override;

  bool Watching() const { return notifier_.isEnabled(); }
  bool TimerActive() const { return timerArmed_; }

 private:
  void TimerExpired();

  QSocketNotifier notifier_{QSocketNotifier::Read};
  std::function<void()> onReadable_;
  int timerFd_ = -1;
  std::unique_ptr<QSocketNotifier> timerNotifier_;
  bool timerArmed_ = false;
  std::function<void()> onTimeout_;
};

}  // namespace drv
