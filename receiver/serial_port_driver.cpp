#include "receiver/serial_port_driver.h"

#include <algorithm>

namespace drv {

namespace {

// A packet-start tick this far back counts as timed out for any PacketTimeout.
constexpr uint32_t kLongPast = 0x80000000u;

uint32_t ClampBufSize(uint32_t size) {
  return std::clamp(size, TSerialPortDriver::kMinBufSize, TSerialPortDriver::kMaxBufSize);
}

}  // namespace

uint32_t PacketTransmitTimeMs(uint32_t bytes, uint32_t bitsPerSecond) {
  if (bitsPerSecond == 0) return 0;
  // bytes / (rate / 10) * 1000 in exact integers, rounded half to even.
  const uint64_t numerator = static_cast<uint64_t>(bytes) * 10000u;
  uint64_t quotient = numerator / bitsPerSecond;
  const uint64_t twiceRemainder = (numerator % bitsPerSecond) * 2u;
  if (twiceRemainder > bitsPerSecond || (twiceRemainder == bitsPerSecond && quotient % 2u == 1u)) {
    ++quotient;
  }
  return static_cast<uint32_t>(std::min<uint64_t>(quotient, UINT32_MAX));
}

TSerialPortDriver::TSerialPortDriver(IClock& clock, ISerialDevice& device, IPollTimer& pollTimer)
    : clock_(clock), device_(device), pollTimer_(pollTimer), inputBuffer_(inBufSize_) {}

TSerialPortDriver::~TSerialPortDriver() {
  Close();
}

void TSerialPortDriver::SetPortName(const std::string& name) {
  if (portOpen_) return;
  portName_ = name;
}

void TSerialPortDriver::SetBaudRate(TBaudRate rate) {
  baudRate_ = rate;
  if (rate != brCustom) baudRateValue_ = BaudRateBitsPerSecond(rate);
  ReapplyLineSettingsIfOpen();
}

void TSerialPortDriver::SetBaudRateValue(uint32_t bitsPerSecond) {
  baudRateValue_ = bitsPerSecond;
  ReapplyLineSettingsIfOpen();
}

void TSerialPortDriver::SetDataBits(TDataBits bits) {
  dataBits_ = bits;
  ReapplyLineSettingsIfOpen();
}

void TSerialPortDriver::SetStopBits(TStopBits bits) {
  stopBits_ = bits;
  ReapplyLineSettingsIfOpen();
}

void TSerialPortDriver::SetParity(TParity parity) {
  parity_ = parity;
  ReapplyLineSettingsIfOpen();
}

void TSerialPortDriver::SetHwFlow(THwFlowControl flow) {
  hwFlow_ = flow;
  ReapplyLineSettingsIfOpen();
}

void TSerialPortDriver::SetSwFlow(TSwFlowControl flow) {
  swFlow_ = flow;
  ReapplyLineSettingsIfOpen();
}

void TSerialPortDriver::SetEnableDTROnOpen(bool enable) {
  enableDtrOnOpen_ = enable;
}

void TSerialPortDriver::SetInBufSize(uint32_t size) {
  if (portOpen_) return;
  ResizeInputBuffer(ClampBufSize(size));
  SetPacketSize(packetSize_);
}

void TSerialPortDriver::SetOutBufSize(uint32_t size) {
  if (portOpen_) return;
  outBufSize_ = ClampBufSize(size);
}

void TSerialPortDriver::SetPacketSize(int16_t size) {
  if (size <= 0) {
    packetSize_ = -1;
    return;
  }
  packetSize_ = static_cast<int16_t>(std::min<uint32_t>(static_cast<uint32_t>(size), kMaxBufSize));
  // A packet must always fit the input buffer, so the buffer grows even while the port is open:
  // between ticks nobody holds a pointer into it.
  const uint32_t packetBytes = static_cast<uint32_t>(packetSize_);
  if (packetBytes > inBufSize_) ResizeInputBuffer(ClampBufSize(packetBytes));
}

void TSerialPortDriver::SetPacketTimeout(int32_t timeoutMs) {
  packetTimeout_ = timeoutMs < 1 ? -1 : timeoutMs;
}

void TSerialPortDriver::SetPollingDelay(uint16_t delayMs) {
  pollingDelay_ = std::max(delayMs, kMinPollingDelay);
  if (portOpen_) pollTimer_.Start(pollingDelay_);
}

void TSerialPortDriver::ResizeInputBuffer(uint32_t size) {
  inBufSize_ = size;
  inputBuffer_.assign(size, 0);
}

uint32_t TSerialPortDriver::LineRate() const {
  return baudRate_ == brCustom ? baudRateValue_ : BaudRateBitsPerSecond(baudRate_);
}

SerialLineSettings TSerialPortDriver::BuildLineSettings() const {
  SerialLineSettings settings;
  settings.bitsPerSecond = baudRateValue_;
  settings.dataBits = static_cast<uint8_t>(dataBits_ + 5);
  settings.stopBits = stopBits_;
  settings.parity = parity_;
  settings.hwFlow = hwFlow_;
  settings.swFlow = swFlow_;
  settings.dtrOn = enableDtrOnOpen_;
  settings.xonLimit = inBufSize_ / 4;
  settings.xoffLimit = inBufSize_ / 4;
  return settings;
}

bool TSerialPortDriver::ApplyLineSettings() {
  if (device_.ApplyLineSettings(BuildLineSettings()) != SerialError::kNone) return false;
  if (device_.Purge() != SerialError::kNone) return false;
  packetStartTick_.reset();
  return device_.SetQueueSizes(inBufSize_, outBufSize_) == SerialError::kNone;
}

void TSerialPortDriver::ReapplyLineSettingsIfOpen() {
  // A line that refuses the new settings keeps its previous ones and stays open.
  if (portOpen_) ApplyLineSettings();
}

bool TSerialPortDriver::Open() {
  if (portOpen_) return true;
  try {
    if (device_.Open(portName_) != SerialError::kNone) return false;
    portOpen_ = true;
    if (!ApplyLineSettings()) {
      Close();
      return false;
    }
    device_.SetTimeouts(kDeviceTimeouts);  // the line works without them, so a failure is ignored
    pollTimer_.Start(pollingDelay_);
    return true;
  } catch (...) {
    Close();
    return false;
  }
}

void TSerialPortDriver::Close() {
  if (!portOpen_) return;
  pollTimer_.Stop();
  device_.Close();
  portOpen_ = false;
  packetStartTick_.reset();
}

void TSerialPortDriver::SetDtr(bool on) {
  if (portOpen_) device_.SetDtr(on);
}

bool TSerialPortDriver::WriteByte(uint8_t value) {
  return WriteBlock(&value, 1, outputTimeout_) == 1;
}

uint32_t TSerialPortDriver::WriteBlock(const uint8_t* data, uint32_t size, uint32_t timeoutMs) {
  if (!portOpen_) return 0;
  uint32_t written = 0;
  uint32_t lastProgressTick = clock_.TickCount();
  while (written < size) {
    const SerialQueueCounts counts = device_.QueryQueues();
    // An output queue at or above its size leaves no room (rather than wrapping to a huge room).
    const uint32_t room = counts.error != SerialError::kNone || counts.outQueue >= outBufSize_
                              ? 0
                              : outBufSize_ - counts.outQueue;
    if (room > 0) {
      const SerialTransfer transfer = device_.Write(data + written, std::min(room, size - written));
      if (transfer.error == SerialError::kNone && transfer.count > 0) {
        written += transfer.count;
        lastProgressTick = clock_.TickCount();
        continue;
      }
    }
    if (TickDiff(clock_.TickCount(), lastProgressTick) > timeoutMs) break;
    device_.PauseForOutput();
  }
  return written;
}

void TSerialPortDriver::ReadAndDeliver(uint32_t count, bool deliver) {
  count = std::min(count, static_cast<uint32_t>(inputBuffer_.size()));
  const SerialTransfer transfer = device_.Read(inputBuffer_.data(), count);
  if (transfer.error != SerialError::kNone || transfer.count == 0) return;
  if (deliver && OnReceivePacket) OnReceivePacket(*this, inputBuffer_.data(), transfer.count);
}

void TSerialPortDriver::PollInput() {
  if (!portOpen_) return;
  const SerialQueueCounts counts = device_.QueryQueues();
  if (counts.error != SerialError::kNone) return;
  uint32_t waiting = counts.inQueue;

  if (packetSize_ <= 0) {
    // No packet collection: whatever waits goes out at once.
    if (waiting > 0) ReadAndDeliver(waiting, true);
    return;
  }

  const uint32_t packetBytes = static_cast<uint32_t>(packetSize_);
  if (waiting >= packetBytes) {
    const bool startWasNone = !packetStartTick_.has_value();
    const uint32_t transmitTime = PacketTransmitTimeMs(packetBytes, LineRate());
    do {
      ReadAndDeliver(packetBytes, true);
      if (!portOpen_) return;  // the handler closed the port
      if (packetStartTick_) *packetStartTick_ += transmitTime;
      waiting -= packetBytes;
      if (waiting == 0) packetStartTick_.reset();
    } while (waiting >= packetBytes);
    // Bytes left behind by a burst that nobody was collecting go out at the next tick.
    if (startWasNone && waiting > 0) packetStartTick_ = clock_.TickCount() - kLongPast;
    return;
  }

  const uint32_t now = clock_.TickCount();
  if (packetTimeout_ > 0 && packetStartTick_ &&
      TickDiff(now, *packetStartTick_) > static_cast<uint32_t>(packetTimeout_)) {
    ReadAndDeliver(waiting, packetMode_ == pmPass);
    packetStartTick_.reset();
    return;
  }
  if (waiting > 0 && !packetStartTick_) packetStartTick_ = now;
}

}  // namespace drv
