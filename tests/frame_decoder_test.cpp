#include "receiver/frame_decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/cp1251.h"
#include "base/hex_text.h"
#include "base/tdatetime.h"
#include "receiver/frame_log.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_display_list.h"
#include "tests/fakes/recording_sinks.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// Carriers of one byte as the station sends them: high half first, then low half.
Bytes Carriers(const Bytes& decoded) {
  Bytes line;
  for (const uint8_t b : decoded) {
    line.push_back(static_cast<uint8_t>((b & 0xF0) | 0x02));
    line.push_back(static_cast<uint8_t>(b << 4));
  }
  return line;
}

// A well-formed frame: start byte, carriers, end mark.
Bytes Frame(const Bytes& decoded) {
  Bytes line{kFrameStartByte};
  const Bytes carriers = Carriers(decoded);
  line.insert(line.end(), carriers.begin(), carriers.end());
  line.push_back(0x03);
  return line;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The worked example: 30 data bytes between the start byte and the end mark 0x43.
const Bytes kExamplePacket = {0x01, 0x12, 0x20, 0x02, 0x10, 0xD2, 0x20, 0x32, 0xC0, 0x92, 0x20,
                              0xF2, 0x30, 0xB2, 0xD0, 0x42, 0xB0, 0x62, 0x70, 0xE2, 0xF0, 0xE2,
                              0x00, 0x02, 0xD0, 0x12, 0x30, 0x22, 0x90, 0x32, 0xF0, 0x43};
const Bytes kExampleDecoded = {0x12, 0x01, 0xD2, 0x3C, 0x92, 0xF3, 0xBD, 0x4B,
                               0x67, 0xEF, 0xE0, 0x0D, 0x13, 0x29, 0x3F};

const Bytes kValid = {0xF2, 0x0E};    // sums to 0x100
const Bytes kInvalid = {0xF2, 0x0F};  // sums to 0x01
const Bytes kValid3 = {0x45, 0x00, 0xBB};

class FrameDecoderTest : public ::testing::Test {
 protected:
  void Feed(const Bytes& packet) {
    decoder_->ReceivePacket(packet.data(), static_cast<int32_t>(packet.size()));
  }
  void UseLog(const std::string& directory) {
    log_ = std::make_unique<FrameLog>(directory);
    MakeDecoder();
  }
  void MakeDecoder() {
    decoder_ = std::make_unique<FrameDecoder>(FrameDecoderContext{
        .clock = clock_,
        .reply = reply_,
        .display = display_,
        .displayEnabled = [this] { return displayEnabled_; },
        .log = log_.get(),
        .sink = sink_,
    });
  }
  void SetUp() override { MakeDecoder(); }

  testing::FakeClock clock_{1000, 45322.5};
  testing::RecordingByteWriter reply_;
  testing::FakeDisplayList display_;
  bool displayEnabled_ = true;
  std::unique_ptr<FrameLog> log_;
  testing::RecordingFrameSink sink_;
  std::unique_ptr<FrameDecoder> decoder_;
};

TEST_F(FrameDecoderTest, WorkedExampleFailsItsChecksumAndIsOnlyLogged) {
  testing::TempDir dir;
  std::filesystem::create_directory(dir.Path() / "log");
  UseLog(dir.Path().string());

  Feed(kExamplePacket);

  EXPECT_THAT(reply_.bytes, ElementsAre(kReplyBadChecksum));
  EXPECT_EQ(decoder_->FrameLength(), 30);
  EXPECT_EQ(decoder_->LastFrameTime(), clock_.Now());
  EXPECT_THAT(sink_.frames, IsEmpty());
  EXPECT_THAT(display_.lines, IsEmpty());
  const std::string logged =
      testing::ReadFileBytes(FrameLogPath(dir.Path().string(), clock_.Now()));
  const std::string expectedEnd = Utf8ToCp1251("E0 0D 13 29 3F  Номер - 62397\r\n");
  ASSERT_GE(logged.size(), expectedEnd.size());
  EXPECT_EQ(logged.substr(logged.size() - expectedEnd.size()), expectedEnd);
}

TEST(DecodeNibblesTest, RebuildsBytesFromEitherOrderOfHalves) {
  struct Case {
    const char* name;
    Bytes data;
    Bytes expected;
  };
  const Case cases[] = {
      {"worked example", Bytes(kExamplePacket.begin() + 1, kExamplePacket.end() - 1),
       kExampleDecoded},
      {"high then low", {0xA2, 0x50}, {0xA5}},
      {"low then high", {0x50, 0xA2}, {0xA5}},
      {"bits 0, 2 and 3 carry nothing", {0xAE, 0x5D}, {0xA5}},
      {"0x02 is a high half of 0", {0x02, 0x70}, {0x07}},
      {"two highs are OR-ed", {0x82, 0x12, 0x40}, {0x94}},
      {"two lows are OR-ed", {0x10, 0x20, 0x52}, {0x53}},
      {"leftover half dropped", {0xA2, 0x50, 0xC2}, {0xA5}},
      {"a single half gives nothing", {0x52}, {}},
      {"nothing", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(DecodeNibbles(c.data).View(), ElementsAreArray(c.expected));
  }
}

TEST_F(FrameDecoderTest, RepliesShowsAndHandsOverByLengthAndChecksum) {
  struct Case {
    const char* name;
    Bytes decoded;
    uint8_t reply;
    bool valid;
  };
  const Case cases[] = {
      {"no bytes", {}, kReplyAccepted, false},
      {"one byte", {0x00}, kReplyAccepted, false},
      {"two bytes summing to 0", kValid, kReplyAccepted, true},
      {"two bytes not summing to 0", kInvalid, kReplyBadChecksum, false},
      {"three bytes summing to 0", kValid3, kReplyAccepted, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reply_.bytes.clear();
    sink_.frames.clear();
    display_.lines.clear();
    clock_.Advance(1000);
    decoder_->SetLastFrameTime(0.0);

    Feed(Frame(c.decoded));

    EXPECT_THAT(reply_.bytes, ElementsAre(c.reply));
    EXPECT_EQ(decoder_->LastFrameTime(), clock_.Now());
    if (c.valid) {
      EXPECT_THAT(sink_.frames, ElementsAre(c.decoded));
      EXPECT_THAT(display_.lines, ElementsAre(CompactHex(c.decoded)));
    } else {
      EXPECT_THAT(sink_.frames, IsEmpty());
      EXPECT_THAT(display_.lines, IsEmpty());
    }
  }
}

TEST_F(FrameDecoderTest, AFrameSplitOverPacketsIsProcessedWithThePacketHoldingItsEndMark) {
  const Bytes line = Frame(kValid3);
  for (std::size_t i = 0; i + 1 < line.size(); ++i) {
    Feed({line[i]});
    EXPECT_THAT(reply_.bytes, IsEmpty()) << "after byte " << i;
  }
  Feed({line.back()});
  EXPECT_THAT(reply_.bytes, ElementsAre(kReplyAccepted));
  EXPECT_THAT(sink_.frames, ElementsAre(kValid3));
}

TEST_F(FrameDecoderTest, TwoFramesInOnePacketAreAnsweredOnceAndOnlyTheSecondIsDecoded) {
  Feed(Concat({Frame(kInvalid), Frame(kValid3)}));
  EXPECT_THAT(reply_.bytes, ElementsAre(kReplyAccepted));
  EXPECT_THAT(sink_.frames, ElementsAre(kValid3));
}

TEST_F(FrameDecoderTest, DataAfterTheEndMarkInTheSamePacketJoinsTheFrame) {
  // F2 then end mark, then the carriers of 0E: decoded as F2 0E.
  Feed(Concat({{kFrameStartByte}, Carriers({0xF2}), {0x03}, Carriers({0x0E})}));
  EXPECT_THAT(reply_.bytes, ElementsAre(kReplyAccepted));
  EXPECT_THAT(sink_.frames, ElementsAre(kValid));
}

TEST_F(FrameDecoderTest, AnEndMarkWithoutAStartByteReprocessesTheOldBuffer) {
  Feed(Frame({0x45, 0x00}));  // checksum 0x45: refused
  ASSERT_THAT(reply_.bytes, ElementsAre(kReplyBadChecksum));
  // Without a start byte the new carriers extend the old frame: 45 00 BB sums to 0.
  Feed(Concat({Carriers({0xBB}), {0x03}}));
  EXPECT_THAT(reply_.bytes, ElementsAre(kReplyBadChecksum, kReplyAccepted));
  EXPECT_THAT(sink_.frames, ElementsAre(kValid3));
  // A bare end mark processes the same bytes once more.
  Feed({0x03});
  EXPECT_THAT(reply_.bytes, ElementsAre(kReplyBadChecksum, kReplyAccepted, kReplyAccepted));
  EXPECT_THAT(sink_.frames, ElementsAre(kValid3, kValid3));
}

TEST_F(FrameDecoderTest, TheLengthWrapsAfter256DataBytes) {
  Bytes packet{kFrameStartByte};
  for (int i = 0; i < 300; ++i) packet.push_back(static_cast<uint8_t>((i % 60) << 2));
  Feed(packet);
  EXPECT_EQ(decoder_->FrameLength(), 44);
  for (int i = 0; i < 44; ++i) {
    EXPECT_EQ(decoder_->FrameBuffer()[i], packet[1 + 256 + i]) << "position " << i;
  }
  EXPECT_EQ(decoder_->FrameBuffer()[44], packet[1 + 44]);

  // The frame processed at the end mark is those 44 bytes.
  Feed({0x03});
  const Bytes first44(packet.begin() + 257, packet.end());
  EXPECT_THAT(reply_.bytes, ElementsAre(ReplyFor(DecodeNibbles(first44).View())));
}

TEST_F(FrameDecoderTest, EmptyOrNegativePacketsDoNothing) {
  const uint8_t endMark = 0x03;
  decoder_->ReceivePacket(&endMark, 0);
  decoder_->ReceivePacket(&endMark, -1);
  decoder_->ReceivePacket(nullptr, 5);
  EXPECT_THAT(reply_.bytes, IsEmpty());
  EXPECT_EQ(decoder_->LastFrameTime(), 0.0);
}

// The station forgets a frame once it has its 05: the frame's records must be stored by then,
// and nothing slow may come before the reply.
TEST_F(FrameDecoderTest, RecordsAreStoredBeforeTheReplyAndTheLogAndDisplayComeAfter) {
  testing::TempDir dir;
  std::filesystem::create_directory(dir.Path() / "log");
  UseLog(dir.Path().string());
  const std::string logPath = FrameLogPath(dir.Path().string(), clock_.Now());

  struct Snapshot {
    bool logExists;
    std::size_t lines;
    std::size_t frames;
  };
  std::vector<Snapshot> atReply;
  class SnoopingWriter final : public IByteWriter {
   public:
    explicit SnoopingWriter(std::function<void()> snoop) : snoop_(std::move(snoop)) {}
    bool WriteByte(uint8_t) override {
      snoop_();
      return false;  // a failed write is not looked at
    }

   private:
    std::function<void()> snoop_;
  } writer([&] {
    atReply.push_back(
        {std::filesystem::exists(logPath), display_.lines.size(), sink_.frames.size()});
  });
  FrameDecoder decoder(
      FrameDecoderContext{clock_, writer, display_, [] { return true; }, log_.get(), sink_});

  const Bytes line = Frame(kValid);
  decoder.ReceivePacket(line.data(), static_cast<int32_t>(line.size()));

  ASSERT_EQ(atReply.size(), 1u);
  EXPECT_FALSE(atReply[0].logExists);
  EXPECT_EQ(atReply[0].lines, 0u);
  EXPECT_EQ(atReply[0].frames, 1u);
  EXPECT_TRUE(std::filesystem::exists(logPath));
  EXPECT_EQ(display_.lines.size(), 1u);
  EXPECT_EQ(sink_.frames.size(), 1u);
}

TEST_F(FrameDecoderTest, AnInterpretationThatFailsStillLetsTheReplyGo) {
  class ThrowingSink final : public IFrameSink {
   public:
    bool HandleFrame(std::span<const uint8_t>) override { throw std::runtime_error("broken"); }
  } throwing;
  FrameDecoder decoder(
      FrameDecoderContext{clock_, reply_, display_, [] { return true; }, nullptr, throwing});
  const Bytes line = Frame(kValid);
  EXPECT_NO_THROW(decoder.ReceivePacket(line.data(), static_cast<int32_t>(line.size())));
  EXPECT_EQ(reply_.bytes, Bytes{kReplyAccepted});
  EXPECT_EQ(display_.lines.size(), 1u);
}

// When the frame's records can be kept nowhere, the station must keep the frame: no reply, so
// that it sends the frame again. The display list says so once each time it begins and ends.
TEST_F(FrameDecoderTest, AFrameWhoseRecordsCannotBeKeptGetsNoReplyAndIsCounted) {
  displayEnabled_ = false;
  sink_.keep = false;
  EXPECT_EQ(decoder_->LastFrameUnixMs(), std::nullopt);
  Feed(Frame(kValid));
  // Also a frame that goes unanswered shows that the station is there.
  EXPECT_EQ(decoder_->LastFrameUnixMs(), clock_.UnixTimeMs());
  Feed(Frame(kValid3));
  Feed(Frame(kInvalid));  // a bad checksum is still answered 07: nothing of it was kept anyway
  EXPECT_EQ(reply_.bytes, Bytes{kReplyBadChecksum});
  EXPECT_EQ(sink_.frames.size(), 2u);
  const std::string stamp = FormatDateTime(clock_.Now()) + " ";
  EXPECT_THAT(display_.lines,
              ElementsAre(stamp + "Нет места для событий: кадры станции остаются без ответа."));

  sink_.keep = true;
  Feed(Frame(kValid));
  EXPECT_EQ(reply_.bytes, (Bytes{kReplyBadChecksum, kReplyAccepted}));
  EXPECT_THAT(display_.lines,
              ElementsAre(stamp + "Нет места для событий: кадры станции остаются без ответа.",
                          stamp + "Кадры станции снова принимаются."));
  EXPECT_EQ(decoder_->Counts().accepted, 1u);
  EXPECT_EQ(decoder_->Counts().badChecksum, 1u);
  EXPECT_EQ(decoder_->Counts().unanswered, 2u);
  clock_.Advance(1500);
  Feed(Frame(kInvalid));
  EXPECT_EQ(decoder_->LastFrameUnixMs(), clock_.UnixTimeMs());
}

TEST_F(FrameDecoderTest, WithoutALogNoFileIsTouched) {
  testing::TempDir dir;
  std::filesystem::create_directory(dir.Path() / "log");
  // The decoder from SetUp has no log, whatever exists in the start directory.
  Feed(Frame(kValid));
  Feed(Frame(kInvalid));
  Feed(Frame({}));
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path() / "log"));
  EXPECT_EQ(reply_.bytes.size(), 3u);
}

TEST_F(FrameDecoderTest, LogsEveryProcessedFrameValidOrNot) {
  testing::TempDir dir;
  std::filesystem::create_directory(dir.Path() / "log");
  UseLog(dir.Path().string());
  Feed(Frame(kValid));
  Feed(Frame(kInvalid));
  Feed(Frame({}));
  const std::string logged =
      testing::ReadFileBytes(FrameLogPath(dir.Path().string(), clock_.Now()));
  const std::string label = Utf8ToCp1251("Номер - 0\r\n");
  std::size_t count = 0;
  for (std::size_t at = logged.find(label); at != std::string::npos;
       at = logged.find(label, at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 3u);
  EXPECT_NE(logged.find(" - F2 0E  "), std::string::npos);
  EXPECT_NE(logged.find(" - F2 0F  "), std::string::npos);
  EXPECT_NE(logged.find(" -  " + Utf8ToCp1251("Номер - 0\r\n")), std::string::npos);
}

TEST_F(FrameDecoderTest, AValidFrameTrimsTheDisplayListToAThousandLinesBeforeAddingItsOwn) {
  struct Case {
    const char* name;
    std::size_t linesBefore;
    bool checkBox;
    bool valid;
    std::size_t linesAfter;
    bool firstLineDeleted;
  };
  const Case cases[] = {
      {"1000 lines, shown", 1000, true, true, 1001, false},
      {"1001 lines, shown", 1001, true, true, 1001, true},
      {"1001 lines, not shown", 1001, false, true, 1000, true},
      {"1000 lines, not shown", 1000, false, true, 1000, false},
      {"1005 lines, one line per frame", 1005, true, true, 1005, true},
      {"invalid frame leaves the list alone", 1001, true, false, 1001, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    display_.lines.clear();
    for (std::size_t i = 0; i < c.linesBefore; ++i) display_.lines.push_back(std::to_string(i));
    displayEnabled_ = c.checkBox;

    Feed(Frame(c.valid ? kValid : kInvalid));

    EXPECT_EQ(display_.lines.size(), c.linesAfter);
    EXPECT_EQ(display_.lines.front(), c.firstLineDeleted ? "1" : "0");
    EXPECT_EQ(display_.lines.back() == CompactHex(kValid), c.checkBox && c.valid);
  }
}

}  // namespace
}  // namespace drv
