#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "receiver/byte_writer.h"
#include "receiver/serial_device.h"
#include "receiver/serial_event_loop.h"
#include "receiver/serial_port_control.h"
#include "receiver/serial_types.h"

namespace drv {

// Milliseconds that `bytes` take on the line at `bitsPerSecond`, ten bit times per byte, to the
// nearest millisecond with ties to even; 0 when the rate is 0.
uint32_t PacketTransmitTimeMs(uint32_t bytes, uint32_t bitsPerSecond);

// The serial port component: opens the line exclusively, reads its input as the device reports
// it and hands the bytes to OnReceivePacket in packets; writes reply bytes with a short bounded
// wait. Everything runs on the main thread.
//
// Packets follow the arrival of the bytes: a packet starts with the read that brings its first
// byte, goes out whole as soon as PacketSize bytes have come, and goes out partial (pmPass) or is
// dropped (pmDiscard) once more than PacketTimeout milliseconds have passed since it started.
// Between those moments nothing runs: a quiet line costs no wake-up.
class TSerialPortDriver final : public ISerialPortControl, public IByteWriter {
 public:
  static constexpr uint32_t kMinBufSize = 128;
  static constexpr uint32_t kMaxBufSize = 8192;
  static constexpr uint16_t kMinPollingDelay = 5;
  // The fixed time-outs every open sets on the device.
  static constexpr SerialTimeouts kDeviceTimeouts{1, 0, 1, 0, 10};

  TSerialPortDriver(IClock& clock, ISerialDevice& device, ISerialEventLoop& events);
  ~TSerialPortDriver() override;
  TSerialPortDriver(const TSerialPortDriver&) = delete;
  TSerialPortDriver& operator=(const TSerialPortDriver&) = delete;

  // Ignored while the port is open.
  void SetPortName(const std::string& name) override;
  const std::string& PortName() const override { return portName_; }

  // Sets BaudRateValue from the rate table too (not for brCustom).
  void SetBaudRate(TBaudRate rate) override;
  TBaudRate BaudRate() const { return baudRate_; }
  void SetBaudRateValue(uint32_t bitsPerSecond);
  uint32_t BaudRateValue() const { return baudRateValue_; }
  void SetDataBits(TDataBits bits);
  TDataBits DataBits() const { return dataBits_; }
  void SetStopBits(TStopBits bits);
  TStopBits StopBits() const { return stopBits_; }
  void SetParity(TParity parity);
  TParity Parity() const { return parity_; }
  void SetHwFlow(THwFlowControl flow);
  THwFlowControl HwFlow() const { return hwFlow_; }
  void SetSwFlow(TSwFlowControl flow);
  TSwFlowControl SwFlow() const { return swFlow_; }

  // Both only while closed; kept within 128..8192.
  void SetInBufSize(uint32_t size);
  uint32_t InBufSize() const { return inBufSize_; }
  void SetOutBufSize(uint32_t size);
  uint32_t OutBufSize() const { return outBufSize_; }

  // At or below 0: -1, no packet collection. At most 8192; raises InBufSize when larger.
  void SetPacketSize(int16_t size);
  int16_t PacketSize() const { return packetSize_; }
  // Below 1: -1, no time-out.
  void SetPacketTimeout(int32_t timeoutMs);
  int32_t PacketTimeout() const { return packetTimeout_; }
  void SetPacketMode(TPacketMode mode) { packetMode_ = mode; }
  TPacketMode PacketMode() const { return packetMode_; }
  // At least 5 ms. Input is read when the device reports it, so this is only the pause before
  // the device is looked at again after it failed a read.
  void SetPollingDelay(uint16_t delayMs);
  uint16_t PollingDelay() const { return pollingDelay_; }
  void SetEnableDTROnOpen(bool enable);
  bool EnableDTROnOpen() const { return enableDtrOnOpen_; }
  void SetOutputTimeout(uint16_t timeoutMs) { outputTimeout_ = timeoutMs; }
  uint16_t OutputTimeout() const { return outputTimeout_; }

  bool Open() override;
  void Close() override;
  bool IsOpen() const override { return portOpen_; }
  // When, in microseconds of the clock, the device began failing the reads of the open port
  // without one succeeding since; empty while it reads well. A line that hung up or whose device
  // went away fails every read from then on while the port stays open.
  std::optional<uint64_t> ReadsFailingSinceUs() const { return readsFailingSinceUs_; }

  // True when the byte was written within OutputTimeout.
  bool WriteByte(uint8_t value) override;
  // Writes as much as the output queue takes, waiting while no progress has been made for at most
  // `timeoutMs`; returns the number of bytes written. With hfRTSTOG on a line that does not key
  // RTS itself, RTS is raised for the write and lowered once the bytes have left the line.
  uint32_t WriteBlock(const uint8_t* data, uint32_t size, uint32_t timeoutMs);
  // Raises or lowers DTR while open.
  void SetDtr(bool on) override;

  // Receives every packet; `packet` points into the component's buffer, which the next read
  // reuses, so the handler copies what it keeps.
  std::function<void(TSerialPortDriver& sender, const uint8_t* packet, uint32_t size)>
      OnReceivePacket;
  // Told when line settings with hfRTSTOG have been applied to a line on which RTS can be keyed
  // neither by the line itself nor around each write: a converter keyed by RTS stays as it is.
  std::function<void()> OnRtsToggleUnavailable;

 private:
  SerialLineSettings BuildLineSettings() const;
  // Writes the line settings, purges and sets the queue sizes; false at the first failure.
  bool ApplyLineSettings();
  void ReapplyLineSettingsIfOpen();
  void ResizeInputBuffer(uint32_t size);
  uint32_t LineRate() const;
  void Watch();
  // Takes in what the device holds, hands over what the packet rules make due, and arranges the
  // next wake-up. `notified`: the device reported input (or a failure) just now.
  void ServiceInput(bool notified);
  // Hands over (or drops) the first `size` collected bytes; false when the handler closed the
  // port.
  bool HandOver(uint32_t size, bool deliver);
  // Hands over every whole packet collected; false when the handler closed the port.
  bool HandOverWholePackets(uint32_t stillWaiting, bool& handedOver);
  // Keeps the moment the reads began to fail, or forgets it once the device answers again.
  void NoteReadOutcome(bool readFailed, uint64_t now);
  void ScheduleWakeUp(bool readFailed);
  // PacketTimeout in microseconds; 0 when there is none.
  uint64_t TimeoutUs() const;

  IClock& clock_;
  ISerialDevice& device_;
  ISerialEventLoop& events_;

  std::string portName_ = "\\\\.\\COM1";
  TBaudRate baudRate_ = br9600;
  uint32_t baudRateValue_ = 9600;
  TDataBits dataBits_ = db8BITS;
  TStopBits stopBits_ = sb1BITS;
  TParity parity_ = ptNONE;
  THwFlowControl hwFlow_ = hfNONERTSON;
  TSwFlowControl swFlow_ = sfNONE;
  uint32_t inBufSize_ = 2048;
  uint32_t outBufSize_ = 2048;
  int16_t packetSize_ = -1;
  int32_t packetTimeout_ = -1;
  TPacketMode packetMode_ = pmDiscard;
  uint16_t pollingDelay_ = 50;
  bool enableDtrOnOpen_ = true;
  uint16_t outputTimeout_ = 500;

  bool portOpen_ = false;
  // When the first byte of the packet being collected was read, in microseconds of the clock.
  std::optional<uint64_t> packetStartUs_;
  // Every read goes here, behind the bytes collected so far; allocated with InBufSize bytes,
  // never per read or packet.
  std::vector<uint8_t> inputBuffer_;
  uint32_t collected_ = 0;
  // hfRTSTOG is done here: RTS up for each write, down after it.
  bool rtsKeyedByWrites_ = false;
  // The device failed a read: it is not watched until the retry after PollingDelay.
  bool watchPaused_ = false;
  std::optional<uint64_t> readsFailingSinceUs_;
};

}  // namespace drv
