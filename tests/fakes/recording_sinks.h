#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "delivery/event_record.h"
#include "receiver/byte_writer.h"
#include "receiver/frame_decoder.h"

namespace drv::testing {

// Keeps every reply byte; `accept` chooses what WriteByte reports.
class RecordingByteWriter final : public IByteWriter {
 public:
  bool WriteByte(uint8_t value) override {
    bytes.push_back(value);
    return accept;
  }

  std::vector<uint8_t> bytes;
  bool accept = true;
};

// Keeps the decoded bytes of every frame handed over; `keep` chooses what HandleFrame reports.
class RecordingFrameSink final : public IFrameSink {
 public:
  bool HandleFrame(std::span<const uint8_t> decoded) override {
    frames.emplace_back(decoded.begin(), decoded.end());
    return keep;
  }

  std::vector<std::vector<uint8_t>> frames;
  bool keep = true;
};

// Keeps every completed record, parsed back for easy comparison.
class RecordingEventSink final : public IEventSink {
 public:
  bool StoreEventRecords(std::span<const EventRecordBytes> batch) override {
    for (const EventRecordBytes& record : batch) {
      bytes.push_back(record);
      records.push_back(*ParseEventRecord(record));
    }
    batchSizes.push_back(batch.size());
    return true;
  }

  std::vector<std::size_t> batchSizes;  // records per hand-over
  std::vector<EventRecordBytes> bytes;
  std::vector<EventRecord> records;
};

}  // namespace drv::testing
