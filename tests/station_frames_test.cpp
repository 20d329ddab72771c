// The station simulator's frames, held against the driver's own decoder and interpretation.

#include "tools/station/station_frames.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

#include "base/hex_text.h"
#include "receiver/frame_decoder.h"
#include "receiver/message_interpreter.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_display_list.h"
#include "tests/fakes/recording_sinks.h"
#include "tools/station/station_commands.h"

namespace drv::station {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

constexpr int32_t kFirstNumber = 4;

// The driver's receiving side, fed with line bytes as the serial port would hand them over.
class DriverSide {
 public:
  DriverSide()
      : emitter_(kFirstNumber, events_),
        interpreter_(clock_, emitter_),
        decoder_({clock_, replies_, display_, [] { return false; }, nullptr, interpreter_}) {}

  void Receive(const Bytes& line) {
    decoder_.ReceivePacket(line.data(), static_cast<int32_t>(line.size()));
  }

  const Bytes& Replies() const { return replies_.bytes; }
  const std::vector<EventRecord>& Records() const { return events_.records; }

 private:
  testing::FakeClock clock_;
  testing::RecordingByteWriter replies_;
  testing::FakeDisplayList display_;
  testing::RecordingEventSink events_;
  EventEmitter emitter_;
  MessageInterpreter interpreter_;
  FrameDecoder decoder_;
};

Bytes Frame(const Bytes& message) {
  return EncodeFrame(WithChecksum(message));
}

SendCommand Parse(std::vector<std::string> words) {
  ParsedCommand parsed = ParseStationCommand(words);
  EXPECT_TRUE(parsed.command) << parsed.error;
  if (!parsed.command) return {};
  return std::get<SendCommand>(*parsed.command);
}

TEST(StationEncoding, EveryByteRidesInTwoDataBytesThatRebuildIt) {
  for (int value = 0; value < 256; ++value) {
    SCOPED_TRACE(value);
    const Bytes decoded = {static_cast<uint8_t>(value)};
    const Bytes line = EncodeFrame(decoded);
    ASSERT_THAT(line, SizeIs(4));
    EXPECT_EQ(line.front(), kStartByte);
    EXPECT_EQ(line.back(), kDefaultEndMark);
    const std::array<uint8_t, 2> carriers = {line[1], line[2]};
    EXPECT_TRUE(IsDataByte(carriers[0]) && IsDataByte(carriers[1]));
    EXPECT_NE(carriers[0] & 0x02, 0) << "high half first";
    EXPECT_EQ(carriers[1] & 0x02, 0);
    const DecodedFrame rebuilt = DecodeNibbles(carriers);
    EXPECT_EQ(rebuilt.count, 1u);
    EXPECT_EQ(rebuilt.bytes[0], value);
  }
}

TEST(StationEncoding, MatchesAKnownStationPacket) {
  const Bytes report = {0xF2, 0x01, 0x00, 0x10, 0x00, 0x04, 0xD2,
                        0x00, 0x30, 0x00, 0x82, 0x05, 0x01};
  EXPECT_EQ(BlankSeparatedHex(EncodeFrame(WithChecksum(report))),
            "01 F2 20 02 10 02 00 12 00 02 00 02 40 D2 20 02 00 32 00 02 00 82 20 02 50 02 10 62 "
            "F0 03");
}

TEST(StationEncoding, EndMarkIsOptionalAndMustBeOne) {
  EXPECT_EQ(EncodeFrame(Bytes{0x12}, 0x43).back(), 0x43);
  EXPECT_EQ(BlankSeparatedHex(EncodeFrame(Bytes{0x12}, std::nullopt)), "01 12 20");
  EXPECT_THROW(EncodeFrame(Bytes{0x12}, 0x41), std::invalid_argument);
}

TEST(StationEncoding, ChecksumBringsTheSumToZeroOrOneWhenCorrupted) {
  const std::vector<Bytes> messages = {{0x00}, {0xF2, 0x0E}, {0xFF, 0xFF, 0xFF}, {0x45, 0x00}};
  for (const Bytes& message : messages) {
    SCOPED_TRACE(BlankSeparatedHex(message));
    EXPECT_EQ(FrameChecksum(WithChecksum(message)), 0);
    EXPECT_EQ(FrameChecksum(WithChecksum(message, true)), 1);
    EXPECT_EQ(ReplyFor(WithChecksum(message)), kReplyAcknowledged);
    EXPECT_EQ(ReplyFor(WithChecksum(message, true)), kReplyRefused);
  }
}

TEST(StationEncoding, NoiseIsNeverAStartByteOrAnEndMark) {
  std::mt19937 random(7);
  const Bytes noise = NoiseBytes(5000, random);
  ASSERT_THAT(noise, SizeIs(5000));
  for (uint8_t byte : noise) ASSERT_TRUE(IsDataByte(byte)) << int(byte);
}

struct ReportCase {
  ReportFields fields;
  std::string code;  // as the driver reads it back
};

TEST(StationReport, DriverReadsBackTheRequestedValues) {
  const ReportCase cases[] = {
      {{.objectNumber = 1234, .eventNumber = 130, .qualifier = 1, .zone = 5, .partition = 1},
       "1130"},
      {{.objectNumber = 0, .eventNumber = 0, .qualifier = 3, .zone = 0, .partition = 0}, "3000"},
      {{.objectNumber = 7, .eventNumber = 5, .qualifier = 3, .zone = 200, .partition = 2}, "3005"},
      {{.objectNumber = 65535, .eventNumber = 1023, .qualifier = 1, .zone = 255, .partition = 15},
       "1102"},
      {{.objectNumber = 0x7E7E, .eventNumber = 602, .qualifier = 1, .zone = 1, .partition = 0},
       "1602"},
  };
  for (const ReportCase& c : cases) {
    SCOPED_TRACE(c.code + " object " + std::to_string(c.fields.objectNumber));
    DriverSide driver;
    driver.Receive(Frame(BuildReportMessage(c.fields)));
    EXPECT_THAT(driver.Replies(), ElementsAre(kReplyAcknowledged));
    ASSERT_THAT(driver.Records(), SizeIs(1));
    const EventRecord& record = driver.Records()[0];
    EXPECT_EQ(record.ObjectNumber,
              c.fields.objectNumber + (kFirstNumber + c.fields.partition) * 10000);
    EXPECT_EQ(record.EventCode(), c.code);
    EXPECT_EQ(record.Zone, c.fields.zone);
    EXPECT_EQ(record.Partition, c.fields.partition);
    EXPECT_EQ(record.Flags, c.fields.qualifier == 1 ? 0x30 : 0x20);
    EXPECT_EQ(record.InfoA | record.InfoB | record.InfoC | record.InfoD | record.InfoE, 0);
  }
}

TEST(StationReport, RejectsValuesTheMessageCannotCarry) {
  EXPECT_THROW(BuildReportMessage({.eventNumber = 1024}), std::out_of_range);
  EXPECT_THROW(BuildReportMessage({.partition = 16}), std::out_of_range);
  EXPECT_THROW(BuildReportMessage({.qualifier = 2}), std::out_of_range);
}

struct BlockCase {
  std::vector<std::string> words;
  std::string code;
  std::vector<uint8_t> zones;  // one record each, in order
  int32_t object;              // before completion
};

TEST(StationBlock, DriverEmitsOneRecordPerRequestedEvent) {
  const BlockCase cases[] = {
      {{"block", "object", "301", "code", "64", "extra", "01,81"}, "64", {9, 1, 8}, 301},
      {{"block", "object", "4096", "code", "0a", "zones", "1,2,255,0"}, "0A", {1, 2, 255, 0}, 4096},
      {{"block", "object", "1", "code", "06", "zone", "64"}, "06", {64}, 1},
      {{"block", "code", "54", "zone", "1", "object", "17"}, "54", {1}, 17},
      {{"block", "object", "2", "code", "33", "extra", "FF"}, "33", {0}, 2},
      {{"block"}, "", {0}, 0},
  };
  for (const BlockCase& c : cases) {
    const SendCommand command = Parse(c.words);
    SCOPED_TRACE(command.message.description);
    DriverSide driver;
    driver.Receive(Frame(command.message.bytes));
    EXPECT_THAT(driver.Replies(), ElementsAre(kReplyAcknowledged));
    std::vector<uint8_t> zones;
    for (const EventRecord& record : driver.Records()) {
      zones.push_back(record.Zone);
      EXPECT_EQ(record.EventCode(), c.code);
      EXPECT_EQ(record.ObjectNumber, c.object + kFirstNumber * 10000);
    }
    EXPECT_EQ(zones, c.zones);
  }
}

TEST(StationBlock, EndsWithATerminatorSoTheChecksumIsNeverAHead) {
  // A checksum of A3 read as a head would be a zone list of three more events.
  const Bytes message = BlockMessageBuilder().Code(0x07).Finish();
  EXPECT_EQ(message.back(), 0x00);
  EXPECT_THROW(BlockMessageBuilder().Object(0), std::out_of_range);
  EXPECT_THROW(BlockMessageBuilder().Zone(65), std::out_of_range);
  EXPECT_THROW(BlockMessageBuilder().ZoneList(Bytes(32, 1)), std::out_of_range);
  EXPECT_THROW(BlockMessageBuilder().ExtraBytes(Bytes{}), std::out_of_range);
}

TEST(StationRandom, EveryMessageIsAcceptedAndYieldsEvents) {
  std::mt19937 random(2024);
  DriverSide driver;
  std::size_t records = 0;
  for (int i = 0; i < 500; ++i) {
    const StationMessage message = RandomMessage(random);
    SCOPED_TRACE(message.description);
    const Bytes line = Frame(message.bytes);
    ASSERT_TRUE(std::all_of(line.begin() + 1, line.end() - 1, IsDataByte));
    driver.Receive(line);
    ASSERT_THAT(driver.Replies(), SizeIs(i + 1));
    ASSERT_EQ(driver.Replies().back(), kReplyAcknowledged);
    ASSERT_GT(driver.Records().size(), records) << "no event from this message";
    records = driver.Records().size();
    // The description is a command that builds the same message again.
    ParsedCommand again = ParseStationCommand(SplitScriptLine(message.description));
    ASSERT_TRUE(again.command) << again.error;
    EXPECT_EQ(std::get<SendCommand>(*again.command).message.bytes, message.bytes);
  }
}

TEST(StationFaults, DriverSeesWhatEachFaultPromises) {
  const Bytes message = BuildReportMessage({.objectNumber = 42, .eventNumber = 130, .zone = 3});
  std::mt19937 random(3);
  {
    SCOPED_TRACE("noise before the start byte is discarded");
    DriverSide driver;
    Bytes line = NoiseBytes(300, random);
    const Bytes frame = Frame(message);
    line.insert(line.end(), frame.begin(), frame.end());
    driver.Receive(line);
    EXPECT_THAT(driver.Replies(), ElementsAre(kReplyAcknowledged));
    ASSERT_THAT(driver.Records(), SizeIs(1));
    EXPECT_EQ(driver.Records()[0].ObjectNumber, 40042);
  }
  {
    SCOPED_TRACE("a bad checksum is refused");
    DriverSide driver;
    driver.Receive(EncodeFrame(WithChecksum(message, true)));
    EXPECT_THAT(driver.Replies(), ElementsAre(kReplyRefused));
    EXPECT_THAT(driver.Records(), IsEmpty());
  }
  {
    SCOPED_TRACE("no end mark: no reply until a whole frame follows");
    DriverSide driver;
    driver.Receive(EncodeFrame(WithChecksum(message), std::nullopt));
    EXPECT_THAT(driver.Replies(), IsEmpty());
    driver.Receive(Frame(message));
    EXPECT_THAT(driver.Replies(), ElementsAre(kReplyAcknowledged));
    EXPECT_THAT(driver.Records(), SizeIs(1));
  }
}

TEST(StationCommands, ParsesFaultsAndRawBytes) {
  const SendCommand raw = Parse({"raw", "F2", "--noise", "12", "0e", "--bad-checksum"});
  EXPECT_EQ(raw.message.bytes, (Bytes{0xF2, 0x0E}));
  EXPECT_TRUE(raw.message.appendChecksum);
  EXPECT_TRUE(raw.faults.badChecksum);
  EXPECT_FALSE(raw.faults.noEndMark);
  EXPECT_EQ(raw.faults.noiseBytes, 12);

  const SendCommand bare = Parse({"raw", "F20E01", "--no-checksum", "--no-end-mark"});
  EXPECT_EQ(bare.message.bytes, (Bytes{0xF2, 0x0E, 0x01}));
  EXPECT_FALSE(bare.message.appendChecksum);
  EXPECT_TRUE(bare.faults.noEndMark);

  const ParsedCommand sleep = ParseStationCommand(std::vector<std::string>{"sleep", "250"});
  ASSERT_TRUE(sleep.command);
  EXPECT_EQ(std::get<SleepCommand>(*sleep.command).milliseconds, 250);
}

TEST(StationCommands, RejectsBadWordsWithAMessage) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"launch"},
      {"report", "--object", "5", "--code", "130", "--zone", "1"},
      {"report", "--object", "65536", "--code", "130", "--zone", "1", "--partition", "0"},
      {"report", "--object", "5", "--code", "1024", "--zone", "1", "--partition", "0"},
      {"report", "--object", "5", "--code", "13O", "--zone", "1", "--partition", "0"},
      {"report", "--object", "5", "--code", "130", "--zone", "1", "--partition", "16"},
      {"report", "--object", "5", "--code", "130", "--zone", "1", "--partition", "0", "--qualifier",
       "2"},
      {"report", "--object", "5", "--code", "130", "--zone", "1", "--partition"},
      {"report", "--colour", "red"},
      {"block", "object", "0"},
      {"block", "object", "4097"},
      {"block", "code", "123"},
      {"block", "zone", "65"},
      {"block", "zones", "1,,2"},
      {"block", "extra", "1G"},
      {"block", "colour", "red"},
      {"block", "object"},
      {"raw"},
      {"raw", "F"},
      {"raw", "GG"},
      {"raw", std::string(256, 'A')},
      {"raw", "F2", "--noise", "many"},
      {"sleep"},
      {"sleep", "-1"},
  };
  for (const auto& words : bad) {
    std::string joined;
    for (const auto& word : words) joined += word + ' ';
    SCOPED_TRACE(joined);
    const ParsedCommand parsed = ParseStationCommand(words);
    EXPECT_FALSE(parsed.command);
    EXPECT_FALSE(parsed.error.empty());
  }
}

TEST(StationCommands, ScriptLinesDropCommentsAndBlanks) {
  EXPECT_THAT(SplitScriptLine("  report --object 1\t--zone 2  # the hall\r"),
              ElementsAre("report", "--object", "1", "--zone", "2"));
  EXPECT_THAT(SplitScriptLine("# only a comment"), IsEmpty());
  EXPECT_THAT(SplitScriptLine(" \t \r"), IsEmpty());
}

}  // namespace
}  // namespace drv::station
