#include "delivery/protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

#include "delivery/message_types.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_connection.h"

namespace drv {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::FakeClock;
using testing::FakeConnection;
using testing::FakeLink;

using Bytes = std::vector<uint8_t>;

TEST(BuildMessageTest, PollIsThirtyNineBytesOnTheWire) {
  const Bytes frame = BuildFrame(BuildMessage(MsgPoll, 0, {}));
  EXPECT_THAT(frame, ElementsAreArray<uint8_t>({
                         0xFF, 0x00, 0x00, 0x00, 0x00, 0x12, 0x00, 0x00, 0x00, 0x00,  //
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x00, 0x00,  //
                         0x00, 0xFF, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00,  //
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFE,
                     }));
}

TEST(BuildMessageTest, FieldsAreLittleEndianAndPayloadFollowsTheHeader) {
  const Bytes payload{0xAA, 0xBB, 0xCC};
  const Bytes message = BuildMessage(0x03000042, 0x0102030405060708, payload);
  EXPECT_THAT(message, ElementsAreArray<uint8_t>({
                           0xFF,                                            // start
                           0x42, 0x00, 0x00, 0x03,                          // type
                           0x03, 0x00, 0x00, 0x00,                          // payload length
                           0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // number
                           0xFE,                                            // end
                           0xAA, 0xBB, 0xCC,
                       }));

  const Bytes frame = BuildFrame(message);
  ASSERT_EQ(frame.size(), FrameHeader::kSize + message.size());
  EXPECT_THAT(Bytes(frame.begin(), frame.begin() + FrameHeader::kSize),
              ElementsAreArray<uint8_t>({0xFF, 0, 0, 0, 0, 21, 0,  0, 0, 0, 0,  //
                                         0,    0, 0, 0, 0, 0,  21, 0, 0, 0}));
  EXPECT_EQ(Bytes(frame.begin() + FrameHeader::kSize, frame.end()), message);
}

TEST(BuildMessageTest, NegativeNumberIsTwosComplement) {
  const Bytes message = BuildMessage(MsgConfirm, -2, {});
  EXPECT_THAT(Bytes(message.begin() + 9, message.begin() + 17),
              ElementsAre(0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF));
}

TEST(WriteFrameTest, WritesHeaderAndMessageInOneRun) {
  auto link = std::make_shared<FakeLink>();
  link->open = true;
  FakeConnection connection(link);
  const Bytes message = BuildMessage(MsgFirstNumber, 7, Bytes{0x04});
  ASSERT_TRUE(WriteFrame(connection, message));
  ASSERT_EQ(link->writes.size(), 1u);
  EXPECT_EQ(link->writes[0], BuildFrame(message));

  link->failWrites = true;
  EXPECT_FALSE(WriteFrame(connection, message));
}

TEST(DecodeMessageTest, Cases) {
  auto withLength = [](Bytes body, int32_t length) {
    for (int i = 0; i < 4; ++i) body[5 + i] = static_cast<uint8_t>(length >> (8 * i));
    return body;
  };
  const Bytes plain = BuildMessage(MsgEventAck, 9, Bytes{1, 2, 3});
  Bytes badStart = plain;
  badStart[0] = 0xFE;
  Bytes badEnd = plain;
  badEnd[17] = 0xFF;
  Bytes bodyOf25 = BuildMessage(MsgAccepted, 0, Bytes(7, 0x55));

  struct Case {
    const char* name;
    Bytes body;
    bool good;
    Bytes payload;
  };
  const Case cases[] = {
      {"good", plain, true, {1, 2, 3}},
      {"wrong start marker", badStart, false, {}},
      {"wrong end marker", badEnd, false, {}},
      {"empty body", {}, false, {}},
      {"shorter than a header", Bytes(plain.begin(), plain.begin() + 17), false, {}},
      {"18 bytes, length field 5", withLength(BuildMessage(MsgPoll, 0, {}), 5), true, {}},
      {"25 bytes, length field 0", withLength(bodyOf25, 0), true, {}},
      {"25 bytes, length field 2", withLength(bodyOf25, 2), true, Bytes(7, 0x55)},
      {"25 bytes, length field -1", withLength(bodyOf25, -1), true, Bytes(7, 0x55)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto message = DecodeMessage(c.body);
    ASSERT_EQ(message.has_value(), c.good);
    if (message) {
      EXPECT_EQ(message->payload, c.payload);
    }
  }

  const auto decoded = DecodeMessage(plain);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->type, MsgEventAck);
  EXPECT_EQ(decoded->number, 9);
}

TEST(ParseVersionTextTest, Cases) {
  struct Case {
    const char* text;
    std::array<uint16_t, 4> version;
  };
  const Case cases[] = {
      {"1.4.2.17", {1, 4, 2, 17}},
      {"1.2", {1, 0, 0, 2}},
      {"1.2.3", {1, 2, 0, 3}},
      {"", {0, 0, 0, 0}},
      {"12", {0, 0, 0, 0}},
      {"8.x.9.83", {8, 0, 9, 83}},
      {"70000.1.1.1", {4464, 1, 1, 1}},
      {"-1.0.0.0", {65535, 0, 0, 0}},
      {"1..3.4", {1, 0, 3, 4}},
      {"1.2.3.4.5", {1, 2, 3, 0}},  // the build part "4.5" is no integer
      {"99999999999.1.1.1", {0, 1, 1, 1}},
      {"+7. 2.3.", {7, 0, 3, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseVersionText(c.text), c.version);
  }
}

TEST(ParseVersionTextTest, PayloadIsFourLittleEndianWords) {
  EXPECT_THAT(VersionPayload(ParseVersionText("1.4.2.17")),
              ElementsAre(0x01, 0x00, 0x04, 0x00, 0x02, 0x00, 0x11, 0x00));
  EXPECT_THAT(VersionPayload({0x1234, 0, 0xFFFF, 1}),
              ElementsAre(0x34, 0x12, 0x00, 0x00, 0xFF, 0xFF, 0x01, 0x00));
}

class ReadFrameTest : public ::testing::Test {
 protected:
  ReadFrameTest() {
    link->open = true;
    link->clock = &clock;
  }

  static Bytes Header(uint8_t marker, int32_t length) {
    Bytes header(FrameHeader::kSize, 0);
    header[0] = marker;
    for (int i = 0; i < 4; ++i) header[5 + i] = static_cast<uint8_t>(length >> (8 * i));
    return header;
  }
  static Bytes Body(std::size_t size) {
    Bytes body(size);
    std::iota(body.begin(), body.end(), uint8_t{0});
    return body;
  }
  std::size_t BytesRequested() const {
    return std::accumulate(link->readRequests.begin(), link->readRequests.end(), std::size_t{0});
  }
  FrameReadResult Read() { return ReadFrame(connection, clock); }

  FakeClock clock;
  std::shared_ptr<FakeLink> link = std::make_shared<FakeLink>();
  FakeConnection connection{link};
};

TEST_F(ReadFrameTest, AcceptsBothMarkers) {
  for (const uint8_t marker : {uint8_t{0xFF}, uint8_t{0xF0}}) {
    SCOPED_TRACE(marker);
    const Bytes message = BuildMessage(MsgAccepted, 3, Bytes{9});
    link->QueueBytes(Header(marker, static_cast<int32_t>(message.size())));
    link->QueueBytes(message);
    const FrameReadResult result = Read();
    ASSERT_EQ(result.status, FrameReadStatus::kOk);
    EXPECT_EQ(result.body, message);
  }
  for (const int timeout : link->readTimeouts) EXPECT_EQ(timeout, kFrameIdleTimeoutMs);
}

TEST_F(ReadFrameTest, GathersAHeaderAndBodyThatArriveInScraps) {
  const Bytes frame = BuildFrame(BuildMessage(MsgEventAck, 1, Body(40)));
  for (std::size_t at = 0; at < frame.size(); at += 7) {
    link->QueueBytes(
        Bytes(frame.begin() + static_cast<std::ptrdiff_t>(at),
              frame.begin() + static_cast<std::ptrdiff_t>(std::min(at + 7, frame.size()))));
  }
  link->QueueBytes({0x77});  // belongs to the next frame
  const FrameReadResult result = Read();
  ASSERT_EQ(result.status, FrameReadStatus::kOk);
  EXPECT_EQ(result.body, Bytes(frame.begin() + FrameHeader::kSize, frame.end()));
  ASSERT_EQ(link->reads.size(), 1u);  // never reads past its own frame
}

TEST_F(ReadFrameTest, LargeBodyIsRequestedInPiecesOfFiftyThousand) {
  const Bytes body = Body(120000);
  link->QueueBytes(Header(0xFF, 120000));
  link->QueueBytes(body);
  const FrameReadResult result = Read();
  ASSERT_EQ(result.status, FrameReadStatus::kOk);
  EXPECT_EQ(result.body, body);
  EXPECT_THAT(link->readRequests, ElementsAre(21, 50000, 50000, 20000));
}

TEST_F(ReadFrameTest, FailedHeaders) {
  struct Case {
    const char* name;
    std::vector<FakeLink::Read> script;
    FrameReadStatus status;
  };
  const Bytes good = Header(0xFF, 18);
  const Case cases[] = {
      {"silence", {{FakeLink::Read::kTimeout, {}, 0}}, FrameReadStatus::kTimedOut},
      // Bytes were taken from the stream: the answer cannot come whole any more.
      {"silence after part of the header",
       {{FakeLink::Read::kData, Bytes(good.begin(), good.begin() + 10), 0},
        {FakeLink::Read::kTimeout, {}, 0}},
       FrameReadStatus::kStalled},
      {"server closed", {{FakeLink::Read::kEndOfStream, {}, 0}}, FrameReadStatus::kEndOfStream},
      {"server closed inside the header",
       {{FakeLink::Read::kData, Bytes(good.begin(), good.begin() + 20), 0},
        {FakeLink::Read::kEndOfStream, {}, 0}},
       FrameReadStatus::kEndOfStream},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    link->open = true;
    link->reads.assign(c.script.begin(), c.script.end());
    EXPECT_EQ(Read().status, c.status);
  }
}

TEST_F(ReadFrameTest, RefusedHeadersConsumeExactlyTheHeader) {
  struct Case {
    const char* name;
    Bytes header;
    FrameReadStatus status;
  };
  const Case cases[] = {
      {"marker 0x00", Header(0x00, 18), FrameReadStatus::kBadMarker},
      {"marker 0xFE", Header(0xFE, 18), FrameReadStatus::kBadMarker},
      {"negative length", Header(0xFF, -18), FrameReadStatus::kBadLength},
      {"zero length", Header(0xFF, 0), FrameReadStatus::kBadLength},
      {"just over the limit", Header(0xFF, kMaxBodyLength + 1), FrameReadStatus::kBadLength},
      {"2^31 - 1", Header(0xFF, 0x7FFFFFFF), FrameReadStatus::kBadLength},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    link->readRequests.clear();
    link->reads.clear();
    link->QueueBytes(c.header);
    link->QueueBytes(Body(30));
    const FrameReadResult result = Read();
    EXPECT_EQ(result.status, c.status);
    EXPECT_TRUE(result.body.empty());
    EXPECT_EQ(BytesRequested(), FrameHeader::kSize);
  }
}

// A body that stops arriving must end the read: neither the first silence nor a trickle may keep
// the session waiting.
TEST_F(ReadFrameTest, BodyThatStallsOrTricklesFails) {
  struct Case {
    const char* name;
    int pieces;          // body pieces of 10 bytes that arrive
    uint32_t gapMs;      // time each piece takes
    bool thenSilence;    // nothing more comes after the pieces
    std::size_t length;  // body length announced
    FrameReadStatus status;
  };
  const Case cases[] = {
      {"silence in the body", 2, 100, true, 100, FrameReadStatus::kStalled},
      {"trickle beyond the deadline", 10, 900, false, 100, FrameReadStatus::kStalled},
      {"trickle within the deadline", 5, 900, false, 50, FrameReadStatus::kOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    link->reads.clear();
    link->QueueBytes(Header(0xFF, static_cast<int32_t>(c.length)));
    const Bytes body = Body(c.length);
    for (int i = 0; i < c.pieces; ++i) {
      link->QueueBytes(Bytes(body.begin() + i * 10, body.begin() + i * 10 + 10), c.gapMs);
    }
    if (c.thenSilence) link->QueueTimeout();
    const FrameReadResult result = Read();
    EXPECT_EQ(result.status, c.status);
    if (c.status == FrameReadStatus::kOk) {
      EXPECT_EQ(result.body, body);
    }
  }
}

TEST_F(ReadFrameTest, ServerClosingInsideTheBodyIsEndOfStream) {
  link->QueueBytes(Header(0xF0, 100));
  link->QueueBytes(Body(60));
  link->QueueEndOfStream();
  EXPECT_EQ(Read().status, FrameReadStatus::kEndOfStream);
  EXPECT_FALSE(connection.IsConnected());
}

}  // namespace
}  // namespace drv
