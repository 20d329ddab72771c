#pragma once

#include <cstdint>

namespace drv {

// Where the frame decoder sends its reply byte (the serial port in the driver).
class IByteWriter {
 public:
  virtual ~IByteWriter() = default;
  // True when exactly one byte was written.
  virtual bool WriteByte(uint8_t value) = 0;
};

}  // namespace drv
