#include "receiver/message_interpreter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "receiver/frame_decoder.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_display_list.h"
#include "tests/fakes/recording_sinks.h"

namespace drv {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// Every field of the record except the time, in record order.
struct Fields {
  int32_t object = 0;
  std::string code;
  uint8_t infoA = 0;
  uint8_t infoB = 0;
  uint8_t infoC = 0;
  uint8_t infoD = 0;
  uint8_t infoE = 0;
  uint8_t flags = 0;
  uint8_t extra1 = 0;
  uint8_t extra2 = 0;
  uint8_t partition = 0;
  uint8_t zone = 0;

  bool operator==(const Fields&) const = default;
  friend void PrintTo(const Fields& f, std::ostream* out) {
    *out << "{object " << f.object << ", code \"" << f.code << "\", infoA " << +f.infoA
         << ", infoB " << +f.infoB << ", infoC " << +f.infoC << ", infoD " << +f.infoD << ", infoE "
         << +f.infoE << ", flags " << +f.flags << ", extra1 " << +f.extra1 << ", extra2 "
         << +f.extra2 << ", partition " << +f.partition << ", zone " << +f.zone << "}";
  }
};

Fields FieldsOf(const EventRecord& r) {
  return {r.ObjectNumber, r.EventCode(), r.InfoA,  r.InfoB,  r.InfoC,     r.InfoD,
          r.InfoE,        r.Flags,       r.Extra1, r.Extra2, r.Partition, r.Zone};
}

constexpr int32_t kFirstNumber = 4;

// The report message of the worked example and what it leaves in the current record.
const Bytes kReport = {0xF2, 0x01, 0x00, 0x10, 0x00, 0x04, 0xD2,
                       0x00, 0x30, 0x00, 0x82, 0x05, 0x01, 0x6F};
const Fields kAfterReport = {
    .object = 1234, .code = "1130", .infoE = 1, .flags = 0x30, .partition = 1, .zone = 5};

class MessageInterpreterTest : public ::testing::Test {
 protected:
  void Handle(const Bytes& decoded) { interpreter_.HandleFrame(decoded); }

  std::vector<uint8_t> EmittedZones() const {
    std::vector<uint8_t> zones;
    for (const EventRecord& r : events_.records) zones.push_back(r.Zone);
    return zones;
  }

  testing::FakeClock clock_{1000, 45322.5};
  testing::RecordingEventSink events_;
  EventEmitter emitter_{kFirstNumber, events_};
  MessageInterpreter interpreter_{clock_, emitter_};
};

// --- the two worked examples, through the decoder as the serial port delivers them ---

Bytes LineFrame(const Bytes& decoded) {
  Bytes line{kFrameStartByte};
  for (const uint8_t b : decoded) {
    line.push_back(static_cast<uint8_t>((b & 0xF0) | 0x02));
    line.push_back(static_cast<uint8_t>(b << 4));
  }
  line.push_back(0x03);
  return line;
}

TEST_F(MessageInterpreterTest, WorkedExamplesReportThenBlockMessage) {
  testing::RecordingByteWriter reply;
  testing::FakeDisplayList display;
  FrameDecoder decoder(
      FrameDecoderContext{clock_, reply, display, [] { return false; }, nullptr, interpreter_});
  auto feed = [&](const Bytes& packet) {
    decoder.ReceivePacket(packet.data(), static_cast<int32_t>(packet.size()));
  };

  const Bytes reportPacket = {0x01, 0xF2, 0x20, 0x02, 0x10, 0x02, 0x00, 0x12, 0x00, 0x02,
                              0x00, 0x02, 0x40, 0xD2, 0x20, 0x02, 0x00, 0x32, 0x00, 0x02,
                              0x00, 0x82, 0x20, 0x02, 0x50, 0x02, 0x10, 0x62, 0xF0, 0x03};
  feed(reportPacket);
  const TDateTime reportTime = clock_.Now();
  ASSERT_THAT(reply.bytes, ElementsAre(kReplyAccepted));
  ASSERT_EQ(events_.records.size(), 1u);
  const EventRecord& report = events_.records[0];
  EXPECT_EQ(
      FieldsOf(report),
      (Fields{
          .object = 51234, .code = "1130", .infoE = 1, .flags = 0x30, .partition = 1, .zone = 5}));
  EXPECT_EQ(report.EventTime, reportTime);
  EXPECT_EQ(interpreter_.Current().ObjectNumber, 1234) << "completion leaves the current record";

  clock_.Advance(60000);
  events_.records.clear();
  feed(LineFrame({0x45, 0x23, 0x01, 0x2C, 0x10, 0x64, 0x82, 0x01, 0x81, 0x00, 0xF3}));

  ASSERT_THAT(EmittedZones(), ElementsAre(9, 1, 8));
  // One hand-over per frame, so that the frame's records are stored together.
  EXPECT_THAT(events_.batchSizes, ElementsAre(1, 3));
  for (const EventRecord& r : events_.records) {
    SCOPED_TRACE(+r.Zone);
    EXPECT_EQ(FieldsOf(r), (Fields{.object = 50301,
                                   .code = "64",
                                   .infoC = 3,
                                   .infoE = 0,
                                   .flags = 10,
                                   .extra1 = 0x01,
                                   .extra2 = 0x81,
                                   .partition = 1,
                                   .zone = r.Zone}));
    EXPECT_EQ(r.EventTime, reportTime);
  }
}

// --- report messages ---

struct ReportCase {
  const char* name;
  std::vector<Bytes> before;  // messages that set up the current record
  Bytes frame;
  Fields expected;
};

// A report message with the given bytes 8 to 12 and zeros elsewhere.
Bytes Report(uint8_t d8, uint8_t d9 = 0, uint8_t d10 = 0, uint8_t d11 = 0, uint8_t d12 = 0) {
  return {0xF2, 0, 0, 0, 0, 0, 0, 0, d8, d9, d10, d11, d12};
}

TEST_F(MessageInterpreterTest, ReportMessageFields) {
  const ReportCase cases[] = {
      {"two bytes, the rest reads 0", {}, {0xF2, 0x0E}, {.code = "00", .infoE = 0x0E}},
      {"object number high byte first",
       {},
       {0xF2, 0, 0, 0, 0, 0xFF, 0xFE},
       {.object = 0xFFFE, .code = "00"}},
      {"byte 2 of 7E clears the object number",
       {},
       {0xF2, 0, 0x7E, 0, 0, 0x12, 0x34},
       {.code = "00", .infoB = 0x7E}},
      {"byte 7 zero: partition from byte 3",
       {},
       {0xF2, 0, 0, 0x35, 0x70, 0, 0, 0},
       {.code = "00", .infoC = 5, .partition = 3}},
      {"byte 7 zero, byte 4 low nibble set",
       {},
       {0xF2, 0, 0, 0x35, 0x5A, 0, 0, 0},
       {.code = "00", .infoC = 0x0A, .infoD = 0x0A, .partition = 3}},
      {"byte 7 set: InfoA from byte 4",
       {},
       {0xF2, 0, 0, 0x35, 0x5A, 0, 0, 1},
       {.code = "00", .infoA = 5, .infoC = 0x0A, .infoD = 0x0A}},
      {"byte 7 set, byte 4 low nibble 0",
       {},
       {0xF2, 0, 0, 0x35, 0x50, 0, 0, 1},
       {.code = "00", .infoC = 5}},
      {"hex code, bit 3: extra bytes 10 and 11",
       {},
       Report(0x08, 0x12, 0xAA, 0xBB, 0x07),
       {.code = "12", .flags = 0x08, .extra1 = 0xAA, .extra2 = 0xBB, .zone = 7}},
      {"hex code, bits 3 and 2: zone from byte 11",
       {Report(0x08, 0x12, 0xAA, 0xBB)},
       Report(0x0C, 0x12, 0xAA, 0x06, 0x09),
       {.code = "12", .flags = 0x0C, .zone = 7}},
      {"hex code, bits 3 and 2: zone wraps",
       {},
       Report(0x0C, 0x12, 0, 0xFF, 0x09),
       {.code = "12", .flags = 0x0C, .zone = 0}},
      {"hex code, bits 3 and 2, code 3D keeps byte 11 in Extra1",
       {},
       Report(0x0C, 0x3D, 0xAA, 0x06, 0x09),
       {.code = "3D", .flags = 0x0C, .extra1 = 0x06, .zone = 7}},
      {"hex code, bit 3 clear: extra bytes cleared",
       {Report(0x08, 0x12, 0xAA, 0xBB)},
       Report(0x00, 0x12, 0xCC, 0xDD, 0x09),
       {.code = "12", .zone = 9}},
      {"hex code 7E",
       {},
       Report(0x00, 0x7E, 0xCC, 0xDD, 0x09),
       {.code = "7E", .extra1 = 0xDD, .zone = 9}},
      {"hex code 3E with bit 3",
       {},
       Report(0x08, 0x3E, 0xCC, 0xDD, 0x09),
       {.code = "3E", .flags = 0x08, .extra1 = 0xDD, .extra2 = 0xDD, .zone = 9}},
      {"hex code 3F",
       {},
       Report(0x10, 0x3F, 0xCC, 0xDD, 0x09),
       {.code = "3F", .flags = 0x10, .extra1 = 0xDD, .zone = 9}},
      {"hex code 3C is not special",
       {},
       Report(0x00, 0x3C, 0xCC, 0xDD, 0x09),
       {.code = "3C", .zone = 9}},
      {"numeric code with qualifier 1",
       {},
       {0xF2, 0, 0, 0x30, 0, 0, 0, 0, 0x30, 0x00, 0x82, 0x05, 0x02},
       {.code = "1130", .flags = 0x30, .partition = 2, .zone = 5}},
      {"numeric code with qualifier 3 padded",
       {},
       Report(0x20, 0x00, 0x05, 0x01, 0x00),
       {.code = "3005", .flags = 0x20, .zone = 1}},
      {"numeric code 0", {}, Report(0x20), {.code = "3000", .flags = 0x20}},
      {"numeric code 1000 cut to four characters",
       {},
       Report(0x30, 0x03, 0xE8),
       {.code = "1100", .flags = 0x30}},
      {"numeric code 1001 cut to four characters",
       {},
       Report(0x30, 0x03, 0xE9),
       {.code = "1100", .flags = 0x30}},
      {"numeric code takes two bits of byte 9",
       {},
       Report(0x3F, 0xFF, 0xFF),
       {.code = "1102", .flags = 0x3F}},
      {"no code keeps code, zone and extra bytes",
       {Report(0x08, 0x12, 0xAA, 0xBB, 0x07)},
       Report(0x40, 0x99, 0x11, 0x22, 0x33),
       {.code = "12", .flags = 0x40, .extra1 = 0xAA, .extra2 = 0xBB, .zone = 7}},
      {"no code at the top of the range",
       {Report(0x20, 0x00, 0x05, 0x01, 0x00)},
       Report(0xE0, 0x99),
       {.code = "3005", .flags = 0xE0, .zone = 1}},
  };
  for (const ReportCase& c : cases) {
    SCOPED_TRACE(c.name);
    MessageInterpreter interpreter(clock_, emitter_);
    for (const Bytes& frame : c.before) interpreter.HandleFrame(frame);
    events_.records.clear();
    events_.bytes.clear();
    clock_.Advance(1000);

    interpreter.HandleFrame(c.frame);

    EXPECT_EQ(FieldsOf(interpreter.Current()), c.expected);
    EXPECT_EQ(interpreter.Current().EventTime, clock_.Now());
    ASSERT_EQ(events_.bytes.size(), 1u);
    EXPECT_EQ(events_.bytes[0],
              SerializeEventRecord(interpreter.Current(),
                                   CompletedObjectNumber(interpreter.Current(), kFirstNumber)));
  }
}

// --- block messages ---

struct BlockCase {
  const char* name;
  std::vector<Bytes> before;  // after the worked example's report message
  Bytes frame;
  std::vector<uint8_t> zones;  // of the records emitted, in order
  Fields expected;             // the current record afterwards
};

TEST_F(MessageInterpreterTest, BlockMessageSubBlocks) {
  Fields f = kAfterReport;
  auto with = [](Fields base, auto change) {
    change(base);
    return base;
  };
  const BlockCase cases[] = {
      {"terminator at once repeats the current record", {}, {0x45, 0x00, 0xBB}, {5}, f},
      {"no sub-blocks at all", {}, {0x45}, {5}, f},
      {"zone list emits one record per item and no final record",
       {},
       {0x45, 0xA3, 0x04, 0x05, 0xFF},
       {5, 6, 0},
       with(f, [](Fields& x) { x.flags = 0, x.zone = 0; })},
      {"empty zone list leaves the final record", {}, {0x45, 0xA0}, {5}, f},
      {"extra list of one item",
       {},
       {0x45, 0x81, 0x07},
       {5},
       with(f, [](Fields& x) { x.flags = 8, x.extra1 = 7; })},
      {"extra list of three items stores two",
       {},
       {0x45, 0x83, 0x01, 0x02, 0x03},
       {5},
       with(f, [](Fields& x) { x.flags = 10, x.extra1 = 1, x.extra2 = 2; })},
      {"extra list of no items changes nothing", {}, {0x45, 0x80}, {5}, f},
      {"bit 6 of a list head is not looked at",
       {},
       {0x45, 0xC2, 0x01, 0x02},
       {5},
       with(f, [](Fields& x) { x.flags = 10, x.extra1 = 1, x.extra2 = 2; })},
      {"list past the end reads 0",
       {{0x45, 0x82, 0xAA, 0xBB}},
       {0x45, 0x82, 0x05},
       {5},
       with(f, [](Fields& x) { x.flags = 10, x.extra1 = 5, x.extra2 = 0; })},
      {"zone sub-block with code 06",
       {},
       {0x45, 0x10, 0x06, 0x45},
       {6},
       with(f, [](Fields& x) { x.code = "06", x.zone = 6; })},
      {"zone sub-block with code 54",
       {},
       {0x45, 0x10, 0x54, 0x7F},
       {64},
       with(f, [](Fields& x) { x.code = "54", x.zone = 64; })},
      {"zone sub-block with another code",
       {},
       {0x45, 0x10, 0x08, 0x45},
       {5},
       with(f, [](Fields& x) { x.code = "08"; })},
      {"zone sub-block with the report's code", {}, {0x45, 0x45}, {5}, f},
      {"object sub-block",
       {},
       {0x45, 0x3F, 0x1F, 0xFF},
       {5},
       with(f, [](Fields& x) { x.object = 4096, x.infoC = 7, x.infoE = 8; })},
      {"object sub-block cut after its head",
       {},
       {0x45, 0x2B},
       {5},
       with(f, [](Fields& x) { x.object = 1, x.infoC = 3, x.infoE = 8; })},
      {"checksum byte read as the next head",
       {},
       {0x45, 0x10, 0x06, 0xA5},
       {1, 1, 1, 1, 1},
       with(f, [](Fields& x) { x.code = "06", x.flags = 0, x.zone = 1; })},
      {"terminator before the checksum byte",
       {},
       {0x45, 0x10, 0x06, 0x00, 0xA5},
       {5},
       with(f, [](Fields& x) { x.code = "06"; })},
      {"code 64: zones 9..16 then 1..8",
       {},
       {0x45, 0x10, 0x64, 0x82, 0x03, 0x80},
       {9, 10, 8},
       with(f,
            [](Fields& x) {
              x.code = "64", x.flags = 10, x.extra1 = 3, x.extra2 = 0x80, x.zone = 8;
            })},
      {"code 64 with both masks empty emits nothing",
       {},
       {0x45, 0x10, 0x64, 0x82, 0x00, 0x00},
       {},
       with(f, [](Fields& x) { x.code = "64", x.flags = 10; })},
      {"zone list cancels the code 64 records",
       {},
       {0x45, 0x10, 0x64, 0x82, 0x01, 0x01, 0xA1, 0x02},
       {3},
       with(f,
            [](Fields& x) { x.code = "64", x.flags = 0, x.extra1 = 1, x.extra2 = 1, x.zone = 3; })},
      // Heads 0x01..0x0F have no length: the scan stops there and what came before still goes
      // out, so the alarm is not lost.
      {"undefined head stops the scan and keeps the final record",
       {},
       {0x45, 0x23, 0x01, 0x2C, 0x05, 0x10, 0x99},
       {5},
       with(f, [](Fields& x) { x.object = 301, x.infoC = 3, x.infoE = 0; })},
      {"undefined head after a zone list",
       {},
       {0x45, 0xA1, 0x02, 0x0F, 0x10, 0x64},
       {3},
       with(f, [](Fields& x) { x.flags = 0, x.zone = 3; })},
  };
  for (const BlockCase& c : cases) {
    SCOPED_TRACE(c.name);
    MessageInterpreter interpreter(clock_, emitter_);
    const TDateTime reportTime = clock_.Now();
    interpreter.HandleFrame(kReport);
    for (const Bytes& frame : c.before) interpreter.HandleFrame(frame);
    events_.records.clear();
    clock_.Advance(1000);

    interpreter.HandleFrame(c.frame);

    EXPECT_THAT(EmittedZones(), ElementsAreArray(c.zones));
    EXPECT_EQ(FieldsOf(interpreter.Current()), c.expected);
    EXPECT_EQ(interpreter.Current().EventTime, reportTime) << "a block message keeps the time";
  }
}

TEST_F(MessageInterpreterTest, OtherMessageKindsAreNotInterpreted) {
  Handle(kReport);
  events_.records.clear();
  const EventRecordBytes before = SerializeEventRecord(interpreter_.Current());
  for (const Bytes& frame : {Bytes{0x12, 0xEE}, Bytes{0x00, 0x00}, Bytes{0xF3, 0x0D}}) {
    Handle(frame);
  }
  EXPECT_THAT(events_.records, IsEmpty());
  EXPECT_EQ(events_.batchSizes.size(), 1u) << "no hand-over without records";
  EXPECT_EQ(SerializeEventRecord(interpreter_.Current()), before);
}

TEST_F(MessageInterpreterTest, EveryBlockScanEndsWithBoundedRecords) {
  // A frame made of one repeated head exercises every sub-block kind, including the
  // undefined ones, and lists that reach past the end of the frame.
  for (int value = 0; value < 256; ++value) {
    SCOPED_TRACE(value);
    Bytes frame(40, static_cast<uint8_t>(value));
    frame[0] = kBlockMessage;
    events_.records.clear();
    Handle(frame);
    // Zone lists emit at most one record per byte plus 31 read past the end; masks add 16.
    EXPECT_LE(events_.records.size(), frame.size() + 31 + 16);
  }
}

}  // namespace
}  // namespace drv
