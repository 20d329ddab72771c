#pragma once

#include <cstdint>
#include <functional>

#include "receiver/serial_types.h"

namespace drv {

// The main thread's event loop as the serial port component uses it: it learns from the device
// itself that input has come, and asks for one call after a delay for the packet time-out.
// Every callback runs on the main thread, serialised with the loop's other events (the timers,
// the operator's input, the tasks the session thread waits for), so the component needs no lock.
// Each front end's event loop implements it: the Qt one (ui/qt/) watches the descriptor with a
// read notifier, the Win32 one (ui/win32/) waits for the port's events on a watcher thread that
// posts each one to the main thread.
class ISerialEventLoop {
 public:
  virtual ~ISerialEventLoop() = default;

  // From now on calls `onReadable` after input arrives on the device behind `handle`, until
  // Unwatch; also when the line fails in a way that a read reports. At least once for input that
  // no call has read yet; it may call more often, even when nothing is waiting, so the callback
  // reads what is there and returns. A new Watch replaces the previous one.
  virtual void Watch(SerialReadinessHandle handle, std::function<void()> onReadable) = 0;
  virtual void Unwatch() = 0;

  // Calls `onTimeout` once, as soon as the clock the component reads (IClock's microsecond count)
  // has moved on by `delayUs` from its value now, and never before; 0: at the loop's next turn.
  // Replaces a timer that has not fired yet.
  virtual void StartTimer(uint64_t delayUs, std::function<void()> onTimeout) = 0;
  virtual void StopTimer() = 0;
};

}  // namespace drv
