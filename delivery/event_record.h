#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/tdatetime.h"

namespace drv {

inline constexpr std::size_t kEventRecordSize = 27;
using EventRecordBytes = std::array<uint8_t, kEventRecordSize>;

// One event as the station's messages leave it. The driver keeps one current record whose fields
// persist from frame to frame; code positions past the length keep what a longer code left there.
struct EventRecord {
  int32_t ObjectNumber = 0;
  uint8_t EventCodeLength = 0;
  std::array<char, 4> EventCodeChars{};
  uint8_t InfoA = 0;
  uint8_t InfoB = 0;
  uint8_t InfoC = 0;
  uint8_t InfoD = 0;
  uint8_t InfoE = 0;
  uint8_t Flags = 0;
  uint8_t Extra1 = 0;
  uint8_t Extra2 = 0;
  uint8_t Partition = 0;
  uint8_t Zone = 0;
  TDateTime EventTime = 0.0;

  // Stores up to 4 characters; the positions past the new length are left as they were.
  void SetEventCode(std::string_view code);
  std::string EventCode() const;
};

// The 27 packed little-endian bytes, with `objectNumber` in place of the record's own.
EventRecordBytes SerializeEventRecord(const EventRecord& record, int32_t objectNumber);
EventRecordBytes SerializeEventRecord(const EventRecord& record);

// Reads 27 bytes back; nullopt when fewer are given.
std::optional<EventRecord> ParseEventRecord(std::span<const uint8_t> bytes);

// Object number as it goes out: ObjectNumber + (firstNumber + Partition) * 10000, wrapping.
int32_t CompletedObjectNumber(const EventRecord& record, int32_t firstNumber);

// One line of readable fields, for tools and logs.
std::string DescribeEventRecord(const EventRecord& record);

// Receives the completed records of each frame (the spool in the driver). When it returns true,
// the records are the sink's: the station may be told that the frame arrived. False: it could
// keep none of them, and the station must keep the frame.
class IEventSink {
 public:
  virtual ~IEventSink() = default;
  virtual bool StoreEventRecords(std::span<const EventRecordBytes> records) = 0;
};

// Completes copies of the current record and hands them to the sink a frame at a time, so that
// the records of one frame are stored together.
class EventEmitter {
 public:
  EventEmitter(int32_t firstNumber, IEventSink& sink) : firstNumber_(firstNumber), sink_(sink) {}
  // Completes a copy of the record as it stands now and keeps it for the next Flush.
  void EmitEventRecord(const EventRecord& current);
  // Hands the kept records to the sink, if there are any; false when the sink refused them.
  bool Flush();

 private:
  int32_t firstNumber_;
  IEventSink& sink_;
  std::vector<EventRecordBytes> batch_;
};

}  // namespace drv
