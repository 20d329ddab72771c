#pragma once

#include <cstdint>
#include <span>

#include "base/clock.h"
#include "delivery/event_record.h"
#include "receiver/frame_decoder.h"

namespace drv {

// First decoded byte of the two message kinds the station sends.
inline constexpr uint8_t kReportMessage = 0xF2;
inline constexpr uint8_t kBlockMessage = 0x45;

// Turns valid frames into event records. The current record persists from frame to frame:
// a message changes only the fields it carries, and each emission sends its fields as they stand.
class MessageInterpreter final : public IFrameSink {
 public:
  MessageInterpreter(IClock& clock, EventEmitter& emitter);

  bool HandleFrame(std::span<const uint8_t> decoded) override;

  const EventRecord& Current() const { return current_; }

 private:
  class FrameBytes;

  void ReportMessage(const FrameBytes& d);
  void BlockMessage(const FrameBytes& d);
  void EmitEventRecord();

  IClock& clock_;
  EventEmitter& emitter_;
  EventRecord current_;
};

}  // namespace drv
