#pragma once

#include <cstdint>
#include <string>

#include "receiver/serial_types.h"

namespace drv {

// What went wrong at the device boundary; the system's own text is kept by the device
// (ISerialDevice::LastErrorText) so that the hot path carries only this small value.
enum class SerialError : uint8_t {
  kNone,
  kNoSuchDevice,    // the name maps to no device, or the device is missing
  kBusy,            // another program holds the device
  kAccessDenied,    // no permission to open it
  kNotATerminal,    // the path is not a serial line
  kNotOpen,         // the operation needs an open device
  kAlreadyOpen,     // Open on a device that is open already
  kInvalidSetting,  // the line settings cannot be represented or were refused
  kNotSupported,    // the line has no such control (a pseudo-terminal has no modem lines)
  kIo,              // any other system failure
};

constexpr const char* SerialErrorName(SerialError error) {
  switch (error) {
    case SerialError::kNone:
      return "no error";
    case SerialError::kNoSuchDevice:
      return "no such device";
    case SerialError::kBusy:
      return "device busy";
    case SerialError::kAccessDenied:
      return "access denied";
    case SerialError::kNotATerminal:
      return "not a serial line";
    case SerialError::kNotOpen:
      return "device not open";
    case SerialError::kAlreadyOpen:
      return "device already open";
    case SerialError::kInvalidSetting:
      return "invalid line setting";
    case SerialError::kNotSupported:
      return "not supported by the line";
    case SerialError::kIo:
      return "input/output error";
  }
  return "unknown error";
}

// The line settings block written at open and again when a line property changes.
struct SerialLineSettings {
  uint32_t bitsPerSecond = 9600;
  uint8_t dataBits = 8;  // 5..8
  TStopBits stopBits = sb1BITS;
  TParity parity = ptNONE;  // shapes the transmitted bits only; received parity is not checked
  THwFlowControl hwFlow = hfNONERTSON;
  TSwFlowControl swFlow = sfNONE;
  bool dtrOn = true;  // DTR held on while open
  uint32_t xonLimit = 512;
  uint32_t xoffLimit = 512;
  uint8_t xonChar = 0x11;
  uint8_t xoffChar = 0x13;

  bool operator==(const SerialLineSettings&) const = default;
};

// Read and write time-outs in milliseconds.
struct SerialTimeouts {
  uint32_t readInterval = 0;
  uint32_t readTotalMultiplier = 0;
  uint32_t readTotalConstant = 0;
  uint32_t writeTotalMultiplier = 0;
  uint32_t writeTotalConstant = 0;

  bool operator==(const SerialTimeouts&) const = default;
};

struct SerialQueueCounts {
  SerialError error = SerialError::kNone;
  uint32_t inQueue = 0;   // bytes waiting to be read
  uint32_t outQueue = 0;  // bytes not yet transmitted
};

struct SerialTransfer {
  SerialError error = SerialError::kNone;
  uint32_t count = 0;  // bytes moved; 0 when nothing was ready
};

// The operating system's serial line, as the serial port component uses it. Every call returns
// at once: reads and writes move what is ready and never wait for more; only DrainOutput waits,
// for the bytes already written.
class ISerialDevice {
 public:
  virtual ~ISerialDevice() = default;

  // Opens the device named `portName` (such as "\\.\COM3") exclusively.
  virtual SerialError Open(const std::string& portName) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  virtual SerialError ApplyLineSettings(const SerialLineSettings& settings) = 0;
  // Discards pending input and output.
  virtual SerialError Purge() = 0;
  virtual SerialError SetQueueSizes(uint32_t inBytes, uint32_t outBytes) = 0;
  virtual SerialError SetTimeouts(const SerialTimeouts& timeouts) = 0;
  // Bytes waiting in each direction; also clears any pending line error.
  virtual SerialQueueCounts QueryQueues() = 0;
  // Count 0 when nothing is waiting; an error when the line cannot deliver (hung up, gone).
  virtual SerialTransfer Read(uint8_t* buffer, uint32_t size) = 0;
  virtual SerialTransfer Write(const uint8_t* data, uint32_t size) = 0;
  // Lets the output queue drain for about a millisecond; called between write attempts that
  // made no progress, so that waiting for room does not keep a processor busy.
  virtual void PauseForOutput() = 0;
  virtual SerialError SetDtr(bool on) = 0;
  // Raises or lowers RTS; kNotSupported on a line without modem control.
  virtual SerialError SetRts(bool on) = 0;
  // Waits until everything written has left the transmitter.
  virtual SerialError DrainOutput() = 0;
  // After line settings with hfRTSTOG: true when the line itself raises RTS while it sends
  // (an RS-485 mode of the UART's driver); false leaves it to the owner, around each write.
  virtual bool TogglesRtsItself() const = 0;
  // What an event loop watches for the open device's input; kNoReadinessHandle while closed.
  virtual SerialReadinessHandle ReadinessHandle() const = 0;
  // False when the open line has shown that it has no modem control lines.
  virtual bool SupportsModemLines() const = 0;

  // The system's message for the last failed call, empty when it had none.
  virtual const std::string& LastErrorText() const = 0;
};

}  // namespace drv
