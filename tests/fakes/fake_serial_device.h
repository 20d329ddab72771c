#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "receiver/serial_device.h"

namespace drv::testing {

// A serial line in memory. The test queues received bytes in `input`, reads what was written
// from `written`, and makes any call fail by setting its result.
class FakeSerialDevice final : public ISerialDevice {
 public:
  SerialError Open(const std::string& portName) override {
    calls.push_back("Open " + portName);
    if (throwOnOpen) throw std::runtime_error("device layer failure");
    if (openResult != SerialError::kNone) return openResult;
    open = true;
    return SerialError::kNone;
  }
  void Close() override {
    calls.push_back("Close");
    open = false;
  }
  bool IsOpen() const override { return open; }

  SerialError ApplyLineSettings(const SerialLineSettings& settings) override {
    calls.push_back("ApplyLineSettings");
    lineSettings = settings;
    return applyResult;
  }
  SerialError Purge() override {
    calls.push_back("Purge");
    if (purgeResult != SerialError::kNone) return purgeResult;
    input.clear();
    outQueue = 0;
    return SerialError::kNone;
  }
  SerialError SetQueueSizes(uint32_t inBytes, uint32_t outBytes) override {
    calls.push_back("SetQueueSizes " + std::to_string(inBytes) + " " + std::to_string(outBytes));
    return queueSizesResult;
  }
  SerialError SetTimeouts(const SerialTimeouts& value) override {
    calls.push_back("SetTimeouts");
    timeouts = value;
    return timeoutsResult;
  }
  SerialQueueCounts QueryQueues() override {
    ++queueQueries;
    if (queryResult != SerialError::kNone) return {queryResult, 0, 0};
    return {SerialError::kNone, static_cast<uint32_t>(input.size()), outQueue};
  }
  SerialTransfer Read(uint8_t* buffer, uint32_t size) override {
    readSizes.push_back(size);
    if (failingReads > 0) {
      --failingReads;
      return {SerialError::kIo, 0};
    }
    if (hungUp && input.empty()) return {SerialError::kIo, 0};
    const uint32_t count = std::min<uint32_t>(size, static_cast<uint32_t>(input.size()));
    std::copy_n(input.begin(), count, buffer);
    input.erase(input.begin(), input.begin() + count);
    return {SerialError::kNone, count};
  }
  SerialTransfer Write(const uint8_t* data, uint32_t size) override {
    writeSizes.push_back(size);
    lineEvents.push_back("Write " + std::to_string(size));
    if (writeResult != SerialError::kNone) return {writeResult, 0};
    const uint32_t count = std::min(size, maxWritePerCall);
    written.insert(written.end(), data, data + count);
    outQueue += count;
    return {SerialError::kNone, count};
  }
  void PauseForOutput() override {
    ++pauses;
    if (onPause) onPause();
  }
  SerialError SetDtr(bool on) override {
    calls.push_back(on ? "SetDtr on" : "SetDtr off");
    return dtrResult;
  }
  SerialError SetRts(bool on) override {
    calls.push_back(on ? "SetRts on" : "SetRts off");
    lineEvents.push_back(calls.back());
    return rtsResult;
  }
  SerialError DrainOutput() override {
    lineEvents.push_back("Drain");
    outQueue = 0;
    return SerialError::kNone;
  }
  bool TogglesRtsItself() const override { return togglesRtsItself; }
  SerialReadinessHandle ReadinessHandle() const override {
    return open ? readinessHandle : kNoReadinessHandle;
  }
  bool SupportsModemLines() const override { return dtrResult != SerialError::kNotSupported; }
  const std::string& LastErrorText() const override { return errorText; }

  void Receive(const std::vector<uint8_t>& bytes) {
    input.insert(input.end(), bytes.begin(), bytes.end());
  }
  // What a readiness watch on this line would report.
  bool Readable() const { return open && (!input.empty() || hungUp); }

  bool open = false;
  SerialReadinessHandle readinessHandle = 7;
  std::vector<std::string> calls;  // configuration calls in order; reads and writes are apart
  SerialLineSettings lineSettings;
  SerialTimeouts timeouts;
  std::deque<uint8_t> input;
  std::vector<uint8_t> written;
  uint32_t outQueue = 0;  // bytes written and not yet "transmitted"; the test drains it
  uint32_t maxWritePerCall = UINT32_MAX;
  std::vector<uint32_t> readSizes;
  std::vector<uint32_t> writeSizes;
  // RTS changes, writes and drains in the order they happened.
  std::vector<std::string> lineEvents;
  int queueQueries = 0;
  int pauses = 0;
  int failingReads = 0;  // so many next reads fail
  bool hungUp = false;   // once the input is read, reads fail: a line that is gone
  bool throwOnOpen = false;
  std::function<void()> onPause;

  SerialError openResult = SerialError::kNone;
  SerialError applyResult = SerialError::kNone;
  SerialError purgeResult = SerialError::kNone;
  SerialError queueSizesResult = SerialError::kNone;
  SerialError timeoutsResult = SerialError::kNone;
  SerialError queryResult = SerialError::kNone;
  SerialError writeResult = SerialError::kNone;
  SerialError dtrResult = SerialError::kNone;
  SerialError rtsResult = SerialError::kNone;
  // A line with an RS-485 mode (or a platform that keys RTS for hfRTSTOG itself).
  bool togglesRtsItself = true;
  std::string errorText;
};

}  // namespace drv::testing
