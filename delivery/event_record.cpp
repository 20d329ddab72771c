#include "delivery/event_record.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

namespace drv {
namespace {

void PutLe32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLe32(const uint8_t* in) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(in[i]) << (8 * i);
  return value;
}

}  // namespace

void EventRecord::SetEventCode(std::string_view code) {
  const std::size_t length = std::min<std::size_t>(code.size(), EventCodeChars.size());
  std::copy_n(code.begin(), length, EventCodeChars.begin());
  EventCodeLength = static_cast<uint8_t>(length);
}

std::string EventRecord::EventCode() const {
  const std::size_t length = std::min<std::size_t>(EventCodeLength, EventCodeChars.size());
  return std::string(EventCodeChars.data(), length);
}

EventRecordBytes SerializeEventRecord(const EventRecord& record, int32_t objectNumber) {
  EventRecordBytes out{};
  PutLe32(&out[0], static_cast<uint32_t>(objectNumber));
  out[4] = record.EventCodeLength;
  std::memcpy(&out[5], record.EventCodeChars.data(), 4);
  out[9] = record.InfoA;
  out[10] = record.InfoB;
  out[11] = record.InfoC;
  out[12] = record.InfoD;
  out[13] = record.InfoE;
  out[14] = record.Flags;
  out[15] = record.Extra1;
  out[16] = record.Extra2;
  out[17] = record.Partition;
  out[18] = record.Zone;
  const auto timeBits = std::bit_cast<uint64_t>(record.EventTime);
  PutLe32(&out[19], static_cast<uint32_t>(timeBits));
  PutLe32(&out[23], static_cast<uint32_t>(timeBits >> 32));
  return out;
}

EventRecordBytes SerializeEventRecord(const EventRecord& record) {
  return SerializeEventRecord(record, record.ObjectNumber);
}

std::optional<EventRecord> ParseEventRecord(std::span<const uint8_t> bytes) {
  if (bytes.size() < kEventRecordSize) return std::nullopt;
  EventRecord record;
  record.ObjectNumber = static_cast<int32_t>(GetLe32(&bytes[0]));
  record.EventCodeLength = bytes[4];
  std::memcpy(record.EventCodeChars.data(), &bytes[5], 4);
  record.InfoA = bytes[9];
  record.InfoB = bytes[10];
  record.InfoC = bytes[11];
  record.InfoD = bytes[12];
  record.InfoE = bytes[13];
  record.Flags = bytes[14];
  record.Extra1 = bytes[15];
  record.Extra2 = bytes[16];
  record.Partition = bytes[17];
  record.Zone = bytes[18];
  const uint64_t timeBits =
      static_cast<uint64_t>(GetLe32(&bytes[19])) | static_cast<uint64_t>(GetLe32(&bytes[23])) << 32;
  record.EventTime = std::bit_cast<double>(timeBits);
  return record;
}

int32_t CompletedObjectNumber(const EventRecord& record, int32_t firstNumber) {
  // Wrapping signed 32-bit arithmetic, done in unsigned to stay defined.
  const uint32_t block = static_cast<uint32_t>(firstNumber) + record.Partition;
  const uint32_t value = static_cast<uint32_t>(record.ObjectNumber) + block * 10000u;
  return static_cast<int32_t>(value);
}

std::string DescribeEventRecord(const EventRecord& record) {
  std::string code;
  for (char c : record.EventCode()) {
    code += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  const CivilTime t = DecodeDateTime(record.EventTime);
  char text[256];
  std::snprintf(
      text, sizeof text,
      "object=%d code=%s zone=%u partition=%u flags=0x%02X infoA=%u infoB=0x%02X infoC=%u "
      "infoD=%u infoE=%u extra1=0x%02X extra2=0x%02X time=%04d-%02d-%02d %02d:%02d:%02d.%03d",
      record.ObjectNumber, code.c_str(), record.Zone, record.Partition, record.Flags, record.InfoA,
      record.InfoB, record.InfoC, record.InfoD, record.InfoE, record.Extra1, record.Extra2, t.year,
      t.month, t.day, t.hour, t.minute, t.second, t.millisecond);
  return text;
}

void EventEmitter::EmitEventRecord(const EventRecord& current) {
  batch_.push_back(SerializeEventRecord(current, CompletedObjectNumber(current, firstNumber_)));
}

bool EventEmitter::Flush() {
  if (batch_.empty()) return true;
  // Emptied before the hand-over, so that a sink that throws does not get the records twice.
  std::vector<EventRecordBytes> records;
  records.swap(batch_);
  return sink_.StoreEventRecords(records);
}

}  // namespace drv
