#pragma once

#include <string>

#include "receiver/serial_types.h"

namespace drv {

// The serial port as the port controls and the session see it.
class ISerialPortControl {
 public:
  virtual ~ISerialPortControl() = default;
  // Device name such as "\\.\COM3"; ignored while the port is open.
  virtual void SetPortName(const std::string& name) = 0;
  virtual const std::string& PortName() const = 0;
  // Only while closed in the driver; sets the bits per second from the rate table too.
  virtual void SetBaudRate(TBaudRate rate) = 0;
  // True when the port is open afterwards; never throws.
  virtual bool Open() = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  virtual void SetDtr(bool on) = 0;
};

}  // namespace drv
