#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "base/clock.h"
#include "base/main_thread.h"
#include "receiver/serial_event_loop.h"

namespace drv {

// The serial port's events for the Win32 front end, through its main thread's queue of tasks
// (IMainThreadQueue, which Win32MainThread implements with a window message).
//
// A helper thread waits for the watched port's events (WaitCommEvent for EV_RXCHAR and EV_ERR on
// the port's overlapped handle, see WinSerialDevice) and for a waitable timer, and posts each one
// to the main thread; the callbacks run there. After posting "readable" the helper waits until the
// main thread has run the callback before it waits on the port again: a port whose input stays
// unread cannot fill the queue, and the main thread always reads before it is told again. A port
// whose events cannot be waited for (Wine cancels every wait on a pseudo-terminal) has its input
// queue looked at (ClearCommError) every 5 ms by the helper instead; the main thread still hears
// only of input.
//
// Every method is called on the main thread. Unwatch returns once the helper no longer waits on
// the port, so the port may be closed right after it; a report posted before is dropped. The timer
// fires when the clock's microsecond count has moved on by the delay, never before: an early
// wake-up of the system timer is re-armed for the rest.
class Win32SerialEventLoop final : public ISerialEventLoop {
 public:
  Win32SerialEventLoop(IClock& clock, IMainThreadQueue& mainThread);
  // Stops the helper; no callback runs afterwards.
  ~Win32SerialEventLoop() override;
  Win32SerialEventLoop(const Win32SerialEventLoop&) = delete;
  Win32SerialEventLoop& operator=(const Win32SerialEventLoop&) = delete;

  // `handle` is a communications handle opened for overlapped I/O.
  void Watch(SerialReadinessHandle handle, std::function<void()> onReadable) override;
  void Unwatch() override;
  void StartTimer(uint64_t delayUs, std::function<void()> onTimeout) override;
  void StopTimer() override;

  bool Watching() const;
  bool TimerActive() const;

 private:
  struct State;

  void SetWatch(SerialReadinessHandle handle);
  class Helper;  // the thread that waits for the port and the timer

  IClock& clock_;
  std::shared_ptr<State> state_;
  std::thread helper_;
};

}  // namespace drv
