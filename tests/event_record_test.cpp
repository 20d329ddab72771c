#include "delivery/event_record.h"

#include <gtest/gtest.h>

#include <vector>

namespace drv {
namespace {

class CollectingSink final : public IEventSink {
 public:
  bool StoreEventRecords(std::span<const EventRecordBytes> batch) override {
    records.insert(records.end(), batch.begin(), batch.end());
    return true;
  }
  std::vector<EventRecordBytes> records;
};

TEST(EventRecordTest, LaysOutTwentySevenLittleEndianBytes) {
  EventRecord record;
  record.ObjectNumber = 0x01020304;
  record.SetEventCode("1130");
  record.InfoA = 1;
  record.InfoB = 2;
  record.InfoC = 3;
  record.InfoD = 4;
  record.InfoE = 5;
  record.Flags = 0x30;
  record.Extra1 = 0x81;
  record.Extra2 = 0x7F;
  record.Partition = 1;
  record.Zone = 9;
  record.EventTime = 1.5;  // 0x3FF8000000000000

  const EventRecordBytes expected = {0x04, 0x03, 0x02, 0x01, 0x04, '1',  '1',  '3',  '0',
                                     1,    2,    3,    4,    5,    0x30, 0x81, 0x7F, 1,
                                     9,    0,    0,    0,    0,    0,    0,    0xF8, 0x3F};
  EXPECT_EQ(SerializeEventRecord(record), expected);
  const auto parsed = ParseEventRecord(expected);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(SerializeEventRecord(*parsed), expected);
}

TEST(EventRecordTest, ShorterCodeKeepsStaleCharacters) {
  EventRecord record;
  record.SetEventCode("1130");
  record.SetEventCode("7E");
  const EventRecordBytes bytes = SerializeEventRecord(record);
  EXPECT_EQ(bytes[4], 2);
  EXPECT_EQ(std::string(bytes.begin() + 5, bytes.begin() + 9), "7E30");
  EXPECT_EQ(record.EventCode(), "7E");
}

TEST(EventRecordTest, ParseRefusesShortInput) {
  const std::vector<uint8_t> shortInput(26, 0);
  EXPECT_FALSE(ParseEventRecord(shortInput).has_value());
}

struct CompletionCase {
  int32_t objectNumber;
  uint8_t partition;
  int32_t firstNumber;
  int32_t expected;
};

class CompletionTest : public ::testing::TestWithParam<CompletionCase> {};

TEST_P(CompletionTest, AddsTheBlockOfTenThousand) {
  const CompletionCase& c = GetParam();
  EventRecord record;
  record.ObjectNumber = c.objectNumber;
  record.Partition = c.partition;
  CollectingSink sink;
  EventEmitter emitter(c.firstNumber, sink);
  emitter.EmitEventRecord(record);
  emitter.Flush();
  ASSERT_EQ(sink.records.size(), 1u);
  EXPECT_EQ(ParseEventRecord(sink.records[0])->ObjectNumber, c.expected);
  EXPECT_EQ(record.ObjectNumber, c.objectNumber) << "the current record must not change";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompletionTest,
    ::testing::Values(CompletionCase{1234, 0, 4, 41234}, CompletionCase{1234, 1, 4, 51234},
                      CompletionCase{1234, 0, 0, 1234}, CompletionCase{0, 2, 4, 60000},
                      CompletionCase{0x7FFFFFFF, 0, 1, static_cast<int32_t>(0x7FFFFFFFu + 10000u)},
                      CompletionCase{5, 0, -1, -9995}));

}  // namespace
}  // namespace drv
