#pragma once

namespace drv {

// The main thread's repeating timer that drives the serial port's poll.
class IPollTimer {
 public:
  virtual ~IPollTimer() = default;
  // (Re)starts the timer with the given period in milliseconds.
  virtual void Start(unsigned periodMs) = 0;
  virtual void Stop() = 0;
};

}  // namespace drv
