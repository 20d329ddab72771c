#pragma once

// Small in-memory stand-ins for the driver's platform seams, and the station's line encoding,
// shared by the micro-benchmarks and the harness.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "delivery/connection.h"
#include "delivery/event_record.h"
#include "delivery/session_link.h"
#include "receiver/byte_writer.h"
#include "receiver/display_list.h"

namespace drv::bench {

// Bits per byte on the station's line (start bit, 8 data bits, stop bit).
inline constexpr double kLineBitsPerByte = 10.0;
// The fastest rate the driver's port offers.
inline constexpr double kLineBitsPerSecond = 256000.0;

// Seconds a frame of this many bytes occupies on a 256 000 bit/s line.
inline double LineSecondsPerFrame(std::size_t frameBytes) {
  return static_cast<double>(frameBytes) * kLineBitsPerByte / kLineBitsPerSecond;
}

// A station frame carrying `decoded`: the start byte, two data bytes per decoded byte (the high
// half with bit 1 set, then the low half) and the end mark.
inline std::vector<uint8_t> EncodeStationFrame(std::span<const uint8_t> decoded) {
  std::vector<uint8_t> frame;
  frame.reserve(decoded.size() * 2 + 2);
  frame.push_back(0x01);
  for (const uint8_t b : decoded) {
    frame.push_back(static_cast<uint8_t>((b & 0xF0) | 0x02));
    frame.push_back(static_cast<uint8_t>((b & 0x0F) << 4));
  }
  frame.push_back(0x03);
  return frame;
}

// Makes the bytes sum to 0 modulo 256 by setting the last one.
inline void SetChecksum(std::vector<uint8_t>& decoded) {
  uint8_t sum = 0;
  for (std::size_t i = 0; i + 1 < decoded.size(); ++i) sum = static_cast<uint8_t>(sum + decoded[i]);
  decoded.back() = static_cast<uint8_t>(0x100 - sum);
}

// The report frame of the worked example: a hex-coded alarm of object 0xD200 (14 decoded bytes).
inline std::vector<uint8_t> ReportFrame() {
  return {0x01, 0xF2, 0x20, 0x02, 0x10, 0x02, 0x00, 0x12, 0x00, 0x02, 0x00, 0x02, 0x40, 0xD2, 0x20,
          0x02, 0x00, 0x32, 0x00, 0x02, 0x00, 0x82, 0x20, 0x02, 0x50, 0x02, 0x10, 0x62, 0xF0, 0x03};
}

// The block message of object 301 with code 64 and zone masks 01/81: three records.
inline std::vector<uint8_t> BlockMessageBytes() {
  return {0x45, 0x23, 0x01, 0x2C, 0x10, 0x64, 0x82, 0x01, 0x81, 0x00, 0xF3};
}

// A block message of object `objectNumber` (1..4096) with code 64 and both zone masks full: 16
// records, zones 9 to 16 and then 1 to 8.
inline std::vector<uint8_t> SixteenZoneBlockMessageBytes(uint16_t objectNumber) {
  const auto index = static_cast<uint16_t>(objectNumber - 1);
  std::vector<uint8_t> d = {0x45,
                            0x20,
                            static_cast<uint8_t>((index >> 8) & 0x0F),
                            static_cast<uint8_t>(index & 0xFF),
                            0x10,
                            0x64,
                            0x82,
                            0xFF,
                            0xFF,
                            0x00,
                            0x00};
  SetChecksum(d);
  return d;
}

// A report for object `objectNumber` (1..65535), hex code 0x30, a valid checksum.
inline std::vector<uint8_t> ReportMessageBytes(uint16_t objectNumber, uint8_t code = 0x30) {
  std::vector<uint8_t> d = {0xF2,
                            0x01,
                            0x00,
                            0x10,
                            0x00,
                            static_cast<uint8_t>(objectNumber >> 8),
                            static_cast<uint8_t>(objectNumber & 0xFF),
                            0x00,
                            0x00,
                            code,
                            0x00,
                            0x00,
                            0x05,
                            0x00};
  SetChecksum(d);
  return d;
}

class NullByteWriter final : public IByteWriter {
 public:
  bool WriteByte(uint8_t value) override {
    last = value;
    ++count;
    return true;
  }
  uint8_t last = 0;
  std::size_t count = 0;
};

class CountingDisplayList final : public IDisplayList {
 public:
  std::size_t LineCount() const override { return lines; }
  void DeleteFirstLine() override {
    if (lines > 0) --lines;
  }
  void AppendLine(const std::string&) override { ++lines; }
  std::size_t lines = 0;
};

class CountingEventSink final : public IEventSink {
 public:
  bool StoreEventRecords(std::span<const EventRecordBytes> records) override {
    if (!records.empty()) last = records.back();
    count += records.size();
    return true;
  }
  EventRecordBytes last{};
  std::size_t count = 0;
};

// A connection whose peer is a byte buffer: writes are appended to `written`, reads come from
// `incoming` starting at `readPosition`.
class MemoryConnection final : public IConnection {
 public:
  bool Connect(const std::string&, int, int) override { return open = true; }
  bool Write(std::span<const uint8_t> bytes) override {
    if (!open) return false;
    written.insert(written.end(), bytes.begin(), bytes.end());
    return true;
  }
  int ReadSome(uint8_t* buffer, std::size_t size, int) override {
    if (!open) return -1;
    const std::size_t available = incoming.size() - readPosition;
    if (available == 0) return 0;
    const std::size_t count = std::min(size, available);
    std::memcpy(buffer, incoming.data() + readPosition, count);
    readPosition += count;
    return static_cast<int>(count);
  }
  void Close() override { open = false; }
  bool IsConnected() const override { return open; }
  void Abort() override { open = false; }

  bool open = true;
  std::vector<uint8_t> written;
  std::vector<uint8_t> incoming;
  std::size_t readPosition = 0;
};

}  // namespace drv::bench
