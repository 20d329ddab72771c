#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iterator>

#include "base/win_text.h"
#include "tools/station/station_frames.h"
#include "tools/station/station_port.h"

namespace drv::station {
namespace {

using Clock = std::chrono::steady_clock;

// A read waits this long for a first byte, so that a stop request is seen between reads.
constexpr DWORD kReadSliceMs = 20;

HANDLE g_stopEvent = nullptr;
std::atomic<bool> g_stopRequested{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
  g_stopRequested = true;
  if (g_stopEvent != nullptr) SetEvent(g_stopEvent);
  return TRUE;
}

DWORD RemainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<DWORD>(left) : 0;
}

std::string SystemErrorText(const std::string& what) {
  return what + ": " + WindowsErrorText(GetLastError());
}

}  // namespace

bool IsStandardRate(long baud) {
  static constexpr long kRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                    19200, 38400, 56000, 57600, 115200, 128000, 256000};
  return std::find(std::begin(kRates), std::end(kRates), baud) != std::end(kRates);
}

void LineBufferStandardOutput() {
  // The C runtime of Windows buffers "line buffered" output fully: no buffer at all instead.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}

bool StopRequest::Install() {
  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return g_stopEvent != nullptr && SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool StopRequest::Requested() {
  return g_stopRequested;
}

bool StopRequest::Wait(int milliseconds) {
  if (Requested()) return true;
  if (g_stopEvent == nullptr) {
    Sleep(static_cast<DWORD>(std::max(milliseconds, 0)));
  } else {
    WaitForSingleObject(g_stopEvent, static_cast<DWORD>(std::max(milliseconds, 0)));
  }
  return Requested();
}

struct StationPort::Device {
  ~Device() {
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
  }
  // Reads return what has come, waiting up to `readMs` for a first byte; writes give up after
  // `writeMs`.
  bool SetTimeouts(DWORD readMs, DWORD writeMs) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = std::max<DWORD>(readMs, 1);
    timeouts.WriteTotalTimeoutConstant = writeMs;
    return SetCommTimeouts(port, &timeouts) != FALSE;
  }
  HANDLE port = INVALID_HANDLE_VALUE;
};

StationPort::StationPort() : device_(std::make_unique<Device>()) {}

StationPort::~StationPort() = default;

bool StationPort::OpenDevice(const std::string& path, long baud, std::string& error) {
  // "COM12" needs the device prefix; "COM3" works either way.
  const std::string name = path.starts_with("\\\\.\\") ? path : "\\\\.\\" + path;
  device_->port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device_->port == INVALID_HANDLE_VALUE) {
    error = SystemErrorText("cannot open " + path);
    return false;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(device_->port, &dcb)) {
    error = SystemErrorText("cannot read the line settings");
    return false;
  }
  dcb.BaudRate = static_cast<DWORD>(baud);
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  if (!SetCommState(device_->port, &dcb) || !device_->SetTimeouts(kReadSliceMs, 1000)) {
    error = SystemErrorText("cannot apply the line settings");
    return false;
  }
  PurgeComm(device_->port, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return true;
}

bool StationPort::OpenPty(long, std::string& error) {
  error = "pseudo-terminals exist on POSIX systems only; use --device COMn";
  return false;
}

void StationPort::DiscardInput() {
  PurgeComm(device_->port, PURGE_RXCLEAR);
}

bool StationPort::WriteAll(std::span<const uint8_t> bytes, int timeoutMs) {
  if (!device_->SetTimeouts(kReadSliceMs, static_cast<DWORD>(std::max(timeoutMs, 1)))) {
    lastErrorText_ = WindowsErrorText(GetLastError());
    return false;
  }
  DWORD written = 0;
  if (!WriteFile(device_->port, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                 nullptr)) {
    lastErrorText_ = WindowsErrorText(GetLastError());
    return false;
  }
  if (written < bytes.size()) {
    lastErrorText_ = "the line took " + std::to_string(written) + " of " +
                     std::to_string(bytes.size()) + " bytes";
    return false;
  }
  return true;
}

ReplyOutcome StationPort::WaitForReply(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (StopRequest::Requested()) return ReplyOutcome::kStopped;
    const DWORD left = RemainingMs(deadline);
    if (left == 0) return ReplyOutcome::kNone;
    device_->SetTimeouts(std::min(left, kReadSliceMs), 1000);
    uint8_t buffer[64];
    DWORD count = 0;
    if (!ReadFile(device_->port, buffer, sizeof buffer, &count, nullptr)) {
      // A failing line: wait out the time-out without spinning.
      StopRequest::Wait(static_cast<int>(RemainingMs(deadline)));
      continue;
    }
    for (DWORD i = 0; i < count; ++i) {
      if (buffer[i] == kReplyAcknowledged) return ReplyOutcome::kAcknowledged;
      if (buffer[i] == kReplyRefused) return ReplyOutcome::kRefused;
    }
  }
}

}  // namespace drv::station
