#include "receiver/serial_port_driver.h"

#include <algorithm>

namespace drv {

namespace {

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

TSerialPortDriver::TSerialPortDriver(IClock& clock, ISerialDevice& device, ISerialEventLoop& events)
    : clock_(clock), device_(device), events_(events), inputBuffer_(inBufSize_) {}

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
  // A packet must always fit the input buffer, so the buffer grows even while the port is open,
  // keeping the bytes collected so far.
  const uint32_t packetBytes = static_cast<uint32_t>(packetSize_);
  if (packetBytes > inBufSize_) ResizeInputBuffer(ClampBufSize(packetBytes));
}

void TSerialPortDriver::SetPacketTimeout(int32_t timeoutMs) {
  packetTimeout_ = timeoutMs < 1 ? -1 : timeoutMs;
}

void TSerialPortDriver::SetPollingDelay(uint16_t delayMs) {
  pollingDelay_ = std::max(delayMs, kMinPollingDelay);
}

void TSerialPortDriver::ResizeInputBuffer(uint32_t size) {
  inBufSize_ = size;
  inputBuffer_.resize(size);
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
  rtsKeyedByWrites_ = false;
  if (hwFlow_ == hfRTSTOG && !device_.TogglesRtsItself()) {
    // A converter keyed by RTS passes the station's frames only while RTS is low.
    rtsKeyedByWrites_ = device_.SetRts(false) == SerialError::kNone;
    if (!rtsKeyedByWrites_ && OnRtsToggleUnavailable) OnRtsToggleUnavailable();
  }
  if (device_.Purge() != SerialError::kNone) return false;
  // What was collected is purged with the rest of the input.
  collected_ = 0;
  packetStartUs_.reset();
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
    watchPaused_ = false;
    Watch();
    return true;
  } catch (...) {
    Close();
    return false;
  }
}

void TSerialPortDriver::Close() {
  if (!portOpen_) return;
  events_.StopTimer();
  events_.Unwatch();
  device_.Close();
  portOpen_ = false;
  rtsKeyedByWrites_ = false;
  watchPaused_ = false;
  readsFailingSinceUs_.reset();
  collected_ = 0;
  packetStartUs_.reset();
}

void TSerialPortDriver::SetDtr(bool on) {
  if (portOpen_) device_.SetDtr(on);
}

bool TSerialPortDriver::WriteByte(uint8_t value) {
  return WriteBlock(&value, 1, outputTimeout_) == 1;
}

uint32_t TSerialPortDriver::WriteBlock(const uint8_t* data, uint32_t size, uint32_t timeoutMs) {
  if (!portOpen_) return 0;
  if (rtsKeyedByWrites_) device_.SetRts(true);
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
  if (rtsKeyedByWrites_) {
    // Lowered only once the last stop bit is out, or the converter would cut it off.
    if (written > 0) device_.DrainOutput();
    device_.SetRts(false);
  }
  return written;
}

void TSerialPortDriver::Watch() {
  events_.Watch(device_.ReadinessHandle(), [this] { ServiceInput(true); });
}

bool TSerialPortDriver::HandOver(uint32_t size, bool deliver) {
  const uint32_t rest = collected_ - size;
  collected_ = rest;
  if (deliver && OnReceivePacket) OnReceivePacket(*this, inputBuffer_.data(), size);
  if (!portOpen_) return false;
  // Bytes behind the packet (only when PacketSize shrank meanwhile) move to the front, unless the
  // handler purged them with new line settings.
  if (rest > 0 && collected_ == rest) {
    std::copy_n(inputBuffer_.begin() + size, rest, inputBuffer_.begin());
  }
  return true;
}

bool TSerialPortDriver::HandOverWholePackets(uint32_t stillWaiting, bool& handedOver) {
  if (packetSize_ <= 0) {
    // No packet collection: whatever came goes out at once.
    if (collected_ > 0) {
      handedOver = true;
      return HandOver(collected_, true);
    }
    return true;
  }
  const uint32_t packetBytes = static_cast<uint32_t>(packetSize_);
  while (collected_ >= packetBytes) {
    handedOver = true;
    if (!HandOver(packetBytes, true)) return false;
    // The next byte came about one packet's line time after this packet's first.
    if (packetStartUs_)
      *packetStartUs_ += uint64_t{PacketTransmitTimeMs(packetBytes, LineRate())} * 1000;
    if (collected_ == 0 && stillWaiting == 0) packetStartUs_.reset();
  }
  return true;
}

void TSerialPortDriver::ServiceInput(bool notified) {
  if (!portOpen_) return;
  if (watchPaused_) {
    // The retry after a failed read: the device was readable then, so it is read now.
    watchPaused_ = false;
    notified = true;
    Watch();
  }
  const uint64_t now = clock_.MicrosecondCount();
  const bool wasCollecting = packetStartUs_.has_value();
  bool wholePackets = false;
  bool readFailed = false;

  const SerialQueueCounts counts = device_.QueryQueues();
  readFailed = counts.error != SerialError::kNone;
  uint32_t waiting = readFailed ? 0 : counts.inQueue;
  // A line that has hung up counts nothing waiting and shows its state only to a read.
  bool probe = notified && !readFailed && waiting == 0;
  for (;;) {
    if (!HandOverWholePackets(waiting, wholePackets)) return;
    if (waiting == 0 && !probe) break;
    const uint32_t limit = packetSize_ > 0 ? static_cast<uint32_t>(packetSize_)
                                           : static_cast<uint32_t>(inputBuffer_.size());
    const uint32_t room = limit - collected_;
    const SerialTransfer transfer =
        device_.Read(inputBuffer_.data() + collected_, probe ? room : std::min(waiting, room));
    probe = false;
    if (transfer.error != SerialError::kNone) {
      readFailed = true;
      break;
    }
    if (transfer.count == 0) break;
    if (!packetStartUs_ && packetSize_ > 0) packetStartUs_ = now;
    collected_ += transfer.count;
    waiting -= std::min(waiting, transfer.count);
  }

  if (wholePackets) {
    // Bytes found behind a whole packet that nobody was collecting have waited at least that
    // long: they go out at the next turn, with whatever comes meanwhile.
    if (!wasCollecting && (collected_ > 0 || waiting > 0)) {
      packetStartUs_ = now - std::min(now, TimeoutUs() + 1);
    }
  } else if (packetStartUs_ && packetTimeout_ > 0 && now - *packetStartUs_ > TimeoutUs()) {
    const uint32_t size = collected_;
    packetStartUs_.reset();
    if (size > 0 && !HandOver(size, packetMode_ == pmPass)) return;
  }
  if (collected_ == 0 && waiting == 0 && !readFailed) packetStartUs_.reset();
  NoteReadOutcome(readFailed, now);
  ScheduleWakeUp(readFailed);
}

void TSerialPortDriver::NoteReadOutcome(bool readFailed, uint64_t now) {
  if (!readFailed) {
    readsFailingSinceUs_.reset();
  } else if (!readsFailingSinceUs_) {
    readsFailingSinceUs_ = now;
  }
}

uint64_t TSerialPortDriver::TimeoutUs() const {
  return packetTimeout_ > 0 ? uint64_t{static_cast<uint32_t>(packetTimeout_)} * 1000 : 0;
}

void TSerialPortDriver::ScheduleWakeUp(bool readFailed) {
  std::optional<uint64_t> delay;
  if (readFailed) {
    // Unread input keeps the device readable: watching it now would wake the loop without end.
    events_.Unwatch();
    watchPaused_ = true;
    delay = uint64_t{pollingDelay_} * 1000;
  }
  if (packetStartUs_ && collected_ > 0 && packetTimeout_ > 0) {
    // Strictly more than the time-out since the first byte was read, to the microsecond: whole
    // milliseconds of the tick count would add half a millisecond on average.
    const uint64_t elapsed = clock_.MicrosecondCount() - *packetStartUs_;
    const uint64_t due = elapsed > TimeoutUs() ? 0 : TimeoutUs() + 1 - elapsed;
    delay = std::min(delay.value_or(due), due);
  }
  if (delay) {
    events_.StartTimer(*delay, [this] { ServiceInput(false); });
  } else {
    events_.StopTimer();
  }
}

}  // namespace drv
