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
  class Report;
  class SubBlock;

  // A report message carries one whole event: one record.
  void ReportMessage(const Report& report);
  void HexCodeFormat(const Report& report);
  void NumericCodeFormat(const Report& report);

  // A block message is a run of sub-blocks, each changing a part of the current event.
  void BlockMessage(const FrameBytes& message);
  bool ZoneListSubBlock(const SubBlock& block);  // true when it emitted records
  void ExtraBytesSubBlock(const SubBlock& block);
  void ZoneSubBlock(const SubBlock& block);
  void ObjectSubBlock(const SubBlock& block);
  void CodeSubBlock(const SubBlock& block);
  void ZoneMaskEmission();
  void EmitZonesOf(uint8_t mask, uint8_t firstZone);

  void EmitEventRecord();

  IClock& clock_;
  EventEmitter& emitter_;
  EventRecord current_;
};

}  // namespace drv
