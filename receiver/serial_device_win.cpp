#include "receiver/serial_device_win.h"

#include <utility>

#include "base/win_text.h"

namespace drv {

namespace {

// A read or write that the port's own time-outs should end within milliseconds; this bound only
// guards against a port whose time-outs could not be set.
constexpr DWORD kTransferBoundMs = 200;

SerialError ErrorForCode(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
      return SerialError::kNoSuchDevice;
    // A port that another program holds answers "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return SerialError::kBusy;
    case ERROR_INVALID_PARAMETER:
      return SerialError::kInvalidSetting;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return SerialError::kNotSupported;
    default:
      return SerialError::kIo;
  }
}

}  // namespace

SerialError BuildDeviceControlBlock(const SerialLineSettings& settings, DCB& dcb) {
  dcb = DCB{};
  dcb.DCBlength = sizeof(DCB);
  if (settings.bitsPerSecond == 0 || settings.dataBits < 5 || settings.dataBits > 8 ||
      settings.stopBits > sb2BITS || settings.parity > ptSPACE || settings.hwFlow > hfRTSTOG ||
      settings.swFlow > sfXONXOFF) {
    return SerialError::kInvalidSetting;
  }
  dcb.BaudRate = settings.bitsPerSecond;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.fDtrControl = settings.dtrOn ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  switch (settings.hwFlow) {
    case hfNONE:
      dcb.fRtsControl = RTS_CONTROL_DISABLE;
      break;
    case hfNONERTSON:
      dcb.fRtsControl = RTS_CONTROL_ENABLE;
      break;
    case hfRTSCTS:
      dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
      dcb.fOutxCtsFlow = TRUE;
      break;
    case hfRTSTOG:
      dcb.fRtsControl = RTS_CONTROL_TOGGLE;
      break;
  }
  const BOOL xonXoff = settings.swFlow == sfXONXOFF;
  dcb.fOutX = xonXoff;
  dcb.fInX = xonXoff;
  dcb.XonLim = static_cast<WORD>(settings.xonLimit);
  dcb.XoffLim = static_cast<WORD>(settings.xoffLimit);
  dcb.ByteSize = settings.dataBits;
  // The component's ordinals are the block's codes: NOPARITY..SPACEPARITY, ONESTOPBIT..TWOSTOPBITS.
  dcb.Parity = static_cast<BYTE>(settings.parity);
  dcb.StopBits = static_cast<BYTE>(settings.stopBits);
  dcb.XonChar = static_cast<char>(settings.xonChar);
  dcb.XoffChar = static_cast<char>(settings.xoffChar);
  return SerialError::kNone;
}

WinSerialDevice::~WinSerialDevice() {
  Close();
}

SerialError WinSerialDevice::Fail(SerialError error, DWORD systemError) {
  return Fail(error, portName_ + ": " + WindowsErrorText(systemError));
}

SerialError WinSerialDevice::Fail(SerialError error, std::string text) {
  lastErrorText_ = std::move(text);
  return error;
}

SerialError WinSerialDevice::Open(const std::string& portName) {
  if (IsOpen()) return Fail(SerialError::kAlreadyOpen, portName_ + " is open already");
  portName_ = portName;
  // No sharing: a port that another program holds, or this one, cannot be opened again.
  const HANDLE handle =
      CreateFileA(portName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    return Fail(ErrorForCode(code), code);
  }
  DCB current{};
  current.DCBlength = sizeof current;
  if (!GetCommState(handle, &current)) {
    const DWORD code = GetLastError();
    CloseHandle(handle);
    return Fail(SerialError::kNotATerminal, code);
  }
  readDone_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  writeDone_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  handle_ = handle;
  if (readDone_ == nullptr || writeDone_ == nullptr) {
    const DWORD code = GetLastError();
    Close();
    return Fail(SerialError::kIo, code);
  }
  DWORD modemStatus = 0;
  modemLinesSupported_ = GetCommModemStatus(handle_, &modemStatus) != FALSE;
  rtsToggledByPort_ = false;
  return SerialError::kNone;
}

void WinSerialDevice::Close() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE));
  if (readDone_ != nullptr) CloseHandle(std::exchange(readDone_, nullptr));
  if (writeDone_ != nullptr) CloseHandle(std::exchange(writeDone_, nullptr));
  rtsToggledByPort_ = false;
}

SerialError WinSerialDevice::ApplyLineSettings(const SerialLineSettings& settings) {
  if (!IsOpen()) return Fail(SerialError::kNotOpen, "device not open");
  DCB dcb{};
  if (BuildDeviceControlBlock(settings, dcb) != SerialError::kNone) {
    return Fail(SerialError::kInvalidSetting, "line settings not possible on a COM port");
  }
  if (SetCommState(handle_, &dcb)) {
    rtsToggledByPort_ = settings.hwFlow == hfRTSTOG;
    return SerialError::kNone;
  }
  const DWORD code = GetLastError();
  if (settings.hwFlow != hfRTSTOG) return Fail(ErrorForCode(code), code);
  // A port without the toggle still carries data: RTS is left to the owner, as on a line
  // without RS-485 mode.
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  if (!SetCommState(handle_, &dcb)) {
    const DWORD again = GetLastError();
    return Fail(
        again == ERROR_INVALID_PARAMETER ? SerialError::kInvalidSetting : ErrorForCode(again),
        again);
  }
  rtsToggledByPort_ = false;
  Fail(SerialError::kNotSupported, portName_ + ": RTS toggle not supported by the port");
  return SerialError::kNone;
}

SerialError WinSerialDevice::Purge() {
  if (!IsOpen()) return Fail(SerialError::kNotOpen, "device not open");
  if (!PurgeComm(handle_, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR)) {
    const DWORD code = GetLastError();
    return Fail(ErrorForCode(code), code);
  }
  return SerialError::kNone;
}

SerialError WinSerialDevice::SetQueueSizes(uint32_t inBytes, uint32_t outBytes) {
  if (!IsOpen()) return Fail(SerialError::kNotOpen, "device not open");
  if (!SetupComm(handle_, inBytes, outBytes)) {
    const DWORD code = GetLastError();
    return Fail(ErrorForCode(code), code);
  }
  return SerialError::kNone;
}

SerialError WinSerialDevice::SetTimeouts(const SerialTimeouts& timeouts) {
  if (!IsOpen()) return Fail(SerialError::kNotOpen, "device not open");
  COMMTIMEOUTS values{};
  values.ReadIntervalTimeout = timeouts.readInterval;
  values.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
  values.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
  values.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
  values.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
  if (!SetCommTimeouts(handle_, &values)) {
    const DWORD code = GetLastError();
    return Fail(ErrorForCode(code), code);
  }
  return SerialError::kNone;
}

SerialQueueCounts WinSerialDevice::QueryQueues() {
  if (!IsOpen()) return {Fail(SerialError::kNotOpen, "device not open"), 0, 0};
  // Also clears a pending line error, whose flags are of no use here.
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(handle_, &errors, &status)) {
    const DWORD code = GetLastError();
    return {Fail(SerialError::kIo, code), 0, 0};
  }
  return {SerialError::kNone, status.cbInQue, status.cbOutQue};
}

bool WinSerialDevice::Finish(BOOL started, OVERLAPPED& overlapped, DWORD& count) {
  count = 0;
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  if (!started && WaitForSingleObject(overlapped.hEvent, kTransferBoundMs) == WAIT_TIMEOUT) {
    CancelIoEx(handle_, &overlapped);
  }
  // A transfer that ends on the port's time-out, or that was cancelled, still reports what it
  // moved. Windows counts the time-out as success; Wine reports it as ERROR_TIMEOUT.
  if (GetOverlappedResult(handle_, &overlapped, &count, TRUE)) return true;
  const DWORD code = GetLastError();
  return code == ERROR_TIMEOUT || code == ERROR_OPERATION_ABORTED;
}

SerialTransfer WinSerialDevice::Read(uint8_t* buffer, uint32_t size) {
  if (!IsOpen()) return {Fail(SerialError::kNotOpen, "device not open"), 0};
  if (size == 0) return {};
  OVERLAPPED overlapped{};
  overlapped.hEvent = readDone_;
  ResetEvent(readDone_);
  DWORD count = 0;
  if (!Finish(ReadFile(handle_, buffer, size, nullptr, &overlapped), overlapped, count)) {
    const DWORD code = GetLastError();
    return {Fail(SerialError::kIo, code), 0};
  }
  return {SerialError::kNone, count};
}

SerialTransfer WinSerialDevice::Write(const uint8_t* data, uint32_t size) {
  if (!IsOpen()) return {Fail(SerialError::kNotOpen, "device not open"), 0};
  if (size == 0) return {};
  OVERLAPPED overlapped{};
  overlapped.hEvent = writeDone_;
  ResetEvent(writeDone_);
  DWORD count = 0;
  if (!Finish(WriteFile(handle_, data, size, nullptr, &overlapped), overlapped, count)) {
    const DWORD code = GetLastError();
    return {Fail(SerialError::kIo, code), 0};
  }
  return {SerialError::kNone, count};
}

void WinSerialDevice::PauseForOutput() {
  Sleep(1);
}

SerialError WinSerialDevice::Escape(DWORD function) {
  if (!IsOpen()) return Fail(SerialError::kNotOpen, "device not open");
  if (!modemLinesSupported_) return Fail(SerialError::kNotSupported, "no modem control lines");
  if (EscapeCommFunction(handle_, function)) return SerialError::kNone;
  const DWORD code = GetLastError();
  const SerialError error = ErrorForCode(code);
  // Refused outright: the port has no such line, as a line without modem control.
  if (error == SerialError::kNotSupported) modemLinesSupported_ = false;
  return Fail(error, code);
}

SerialError WinSerialDevice::SetDtr(bool on) {
  return Escape(on ? SETDTR : CLRDTR);
}

SerialError WinSerialDevice::SetRts(bool on) {
  return Escape(on ? SETRTS : CLRRTS);
}

SerialError WinSerialDevice::DrainOutput() {
  if (!IsOpen()) return Fail(SerialError::kNotOpen, "device not open");
  if (!FlushFileBuffers(handle_)) {
    const DWORD code = GetLastError();
    return Fail(ErrorForCode(code), code);
  }
  return SerialError::kNone;
}

SerialReadinessHandle WinSerialDevice::ReadinessHandle() const {
  return IsOpen() ? reinterpret_cast<SerialReadinessHandle>(handle_) : kNoReadinessHandle;
}

}  // namespace drv
