#pragma once

#include <functional>

#include <QSocketNotifier>
#include <QTimer>

#include "receiver/serial_event_loop.h"

namespace drv {

// The serial port's events on the Qt event loop: a read notifier on the device's descriptor and
// a precise single-shot timer. Constructed on the main thread, after the application object.
class QtSerialEventLoop final : public ISerialEventLoop {
 public:
  QtSerialEventLoop();
  QtSerialEventLoop(const QtSerialEventLoop&) = delete;
  QtSerialEventLoop& operator=(const QtSerialEventLoop&) = delete;

  void Watch(SerialReadinessHandle handle, std::function<void()> onReadable) override;
  void Unwatch() override;
  void StartTimer(uint32_t delayMs, std::function<void()> onTimeout) override;
  void StopTimer() override;

  bool Watching() const { return notifier_.isEnabled(); }
  bool TimerActive() const { return timer_.isActive(); }

 private:
  QSocketNotifier notifier_{QSocketNotifier::Read};
  QTimer timer_;
  std::function<void()> onReadable_;
  std::function<void()> onTimeout_;
};

}  // namespace drv
