#pragma once

#include <windows.h>

#include <string>

#include "receiver/serial_device.h"

namespace drv {

// The device control block for `settings`: all zero but the length, the rate, binary mode, the
// character format, DTR and RTS control, XON/XOFF and their limits and characters. Parity is not
// checked on input; the parity code only shapes the transmitted bits. kInvalidSetting for a
// combination the block cannot carry.
SerialError BuildDeviceControlBlock(const SerialLineSettings& settings, DCB& dcb);

// A COM port through the Windows communications API, opened exclusively by its name ("\\.\COM3")
// and for overlapped I/O: a watcher thread (Win32SerialEventLoop) waits for the port's events with
// WaitCommEvent while the main thread reads and writes. Every read and write waits for its own
// completion, which the port's time-outs bound, so the calls behave as on a synchronous handle.
class WinSerialDevice final : public ISerialDevice {
 public:
  WinSerialDevice() = default;
  ~WinSerialDevice() override;
  WinSerialDevice(const WinSerialDevice&) = delete;
  WinSerialDevice& operator=(const WinSerialDevice&) = delete;

  SerialError Open(const std::string& portName) override;
  void Close() override;
  bool IsOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

  // With hfRTSTOG the port keys RTS itself (RTS_CONTROL_TOGGLE); a port that refuses the toggle
  // gets RTS control disabled instead, leaving RTS to the owner, and TogglesRtsItself is false.
  SerialError ApplyLineSettings(const SerialLineSettings& settings) override;
  SerialError Purge() override;
  SerialError SetQueueSizes(uint32_t inBytes, uint32_t outBytes) override;
  SerialError SetTimeouts(const SerialTimeouts& timeouts) override;
  SerialQueueCounts QueryQueues() override;
  SerialTransfer Read(uint8_t* buffer, uint32_t size) override;
  SerialTransfer Write(const uint8_t* data, uint32_t size) override;
  void PauseForOutput() override;
  SerialError SetDtr(bool on) override;
  SerialError SetRts(bool on) override;
  SerialError DrainOutput() override;
  bool TogglesRtsItself() const override { return rtsToggledByPort_; }
  // The communications handle.
  SerialReadinessHandle ReadinessHandle() const override;
  bool SupportsModemLines() const override { return modemLinesSupported_; }

  const std::string& LastErrorText() const override { return lastErrorText_; }

 private:
  SerialError Fail(SerialError error, DWORD systemError);
  SerialError Fail(SerialError error, std::string text);
  // Waits for an overlapped read or write (`started`: the call's result) and takes its count;
  // false when it failed.
  bool Finish(BOOL started, OVERLAPPED& overlapped, DWORD& count);
  SerialError Escape(DWORD function);

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HANDLE readDone_ = nullptr;
  HANDLE writeDone_ = nullptr;
  std::string portName_;
  std::string lastErrorText_;
  bool modemLinesSupported_ = true;
  bool rtsToggledByPort_ = false;
};

}  // namespace drv
