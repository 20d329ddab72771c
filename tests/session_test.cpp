#include "delivery/session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "app/driver_settings.h"
#include "base/error_codes.h"
#include "base/tdatetime.h"
#include "delivery/message_types.h"
#include "delivery/protocol.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_connection.h"
#include "fakes/fake_record_queue.h"
#include "fakes/manual_main_thread.h"
#include "fakes/temp_dir.h"

namespace drv {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::FakeClock;
using testing::FakeConnectionFactory;
using testing::FakeLink;
using testing::FakeRecordQueue;
using testing::TempDir;

using Bytes = std::vector<uint8_t>;

constexpr char kConnecting[] = "Соединение...";
constexpr char kConnected[] = "Соединение установлено.";
constexpr char kNetworkErrors[] = "Ошибки по сети - переподсоединение.";
constexpr char kDisconnectOrder[] = "Сервер дал команду на рассоединение.";
constexpr char kAccessDenied[] = "Доступ запрещен.";

// Runs each task at once, as the main thread would, and knows whether a task is running.
class RecordingMainThread final : public IMainThread {
 public:
  bool RunAndWait(std::function<void()> task) override {
    if (refuse) return false;
    inside = true;
    task();
    inside = false;
    return true;
  }
  bool refuse = false;
  bool inside = false;
};

Bytes Payload(std::initializer_list<uint8_t> bytes) {
  return Bytes(bytes);
}

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() {
    factory.clock = &clock;
    WriteSettings("msgserver.local", 4321);
    session = MakeSession(mainThread);
  }

  void WriteSettings(const std::string& address, int port) {
    testing::WriteFileBytes(settingsPath, "[ServerHost]\r\nAddress=" + address +
                                              "\r\nPort=" + std::to_string(port) + "\r\n");
  }

  std::unique_ptr<MessageServerSession> MakeSession(IMainThread& main,
                                                    IConnectionFactory* connections = nullptr) {
    SessionHooks hooks;
    hooks.showLine = [this](const std::string& line) {
      EXPECT_TRUE(mainThread.inside);
      const std::string stamp = FormatDateTime(clock.Now()) + " ";
      EXPECT_EQ(line.rfind(stamp, 0), 0u) << line;
      texts.push_back(line.substr(std::min(stamp.size(), line.size())));
    };
    hooks.tickIndicator = [this] {
      EXPECT_TRUE(mainThread.inside);
      ++ticks;
    };
    hooks.readIntroduction = [this] {
      EXPECT_TRUE(mainThread.inside);
      return info;
    };
    hooks.reportError = [this](int code) {
      EXPECT_TRUE(mainThread.inside);
      errors.push_back(code);
    };
    return std::make_unique<MessageServerSession>(
        clock, main, connections ? *connections : factory, records,
        [this] { return ReadServerEndpoint(settingsPath); }, "1.4.2.17", hooks);
  }

  void StepAfter(uint32_t ms) {
    clock.Advance(ms);
    session->Step();
  }

  // The next connection attempt, with a fresh link that accepts the TCP connection.
  std::shared_ptr<FakeLink> Connect() {
    auto link = factory.PrepareNext();
    StepAfter(kAttemptSpacingMs + 1);
    EXPECT_TRUE(session->IsConnected());
    return link;
  }

  // Writes the introduction; the server accepts at its first message.
  void Introduce(FakeLink& link) {
    link.QueueAnswer(MsgAccepted);
    for (int i = 0; i < 3; ++i) link.QueueAnswer(MsgPoll);
    for (int i = 0; i < 4; ++i) session->Step();
    ASSERT_TRUE(session->IsIntroduced());
    ASSERT_THAT(link.WrittenTypes(),
                ElementsAre(MsgIntroduction, MsgPortState, MsgFirstNumber, MsgVersion));
  }

  std::shared_ptr<FakeLink> ConnectAndIntroduce() {
    auto link = Connect();
    Introduce(*link);
    link->writes.clear();
    return link;
  }

  // Frame reads begin with a request for the header.
  static long FramesRead(const FakeLink& link) {
    return std::count(link.readRequests.begin(), link.readRequests.end(), FrameHeader::kSize);
  }

  // Steps after the poll interval that meet silence, one failure each: the first writes a poll,
  // the later ones read the answer it is still owed.
  void FailPolls(int count) {
    for (int i = 0; i < count; ++i) StepAfter(kPollIntervalMs + 1);
  }

  // A spooled record whose 27 bytes all carry `tag`.
  uint64_t AddRecord(uint8_t tag) { return records.Add(Bytes(27, tag)); }

  // The tags of the event records written on the link, in order.
  static std::vector<int> RecordsWritten(const FakeLink& link) {
    std::vector<int> tags;
    for (const auto& message : link.WrittenMessages()) {
      if (message.type == MsgEventRecord) tags.push_back(message.payload.at(0));
    }
    return tags;
  }

  FakeClock clock;
  RecordingMainThread mainThread;
  FakeConnectionFactory factory;
  FakeRecordQueue records;
  TempDir dir;
  const std::string settingsPath = dir.File("drvtirval2000n.ini");
  IntroductionInfo info{"COM12", true, 0x10203};
  std::vector<std::string> texts;
  std::vector<int> errors;
  int ticks = 0;
  std::unique_ptr<MessageServerSession> session;
};

TEST_F(SessionTest, AFullRingRefusesAndTheRefusedMessageUsesUpItsNumber) {
  const Bytes portState(8, 0);
  for (std::size_t i = 0; i < MessageRing::kSlots; ++i) {
    ASSERT_TRUE(session->QueueMessage(MsgPortState, portState));
  }
  EXPECT_FALSE(session->QueueMessage(MsgPortState, portState));  // number 100

  auto link = factory.PrepareNext();
  for (int i = 0; i < 102; ++i) link->QueueAnswer(MsgPoll);
  StepAfter(kAttemptSpacingMs + 1);  // the introduction finds the ring full too: 101 to 104
  session->Step();
  EXPECT_TRUE(session->QueueMessage(MsgConfirm, {}));
  for (std::size_t i = 0; i < MessageRing::kSlots; ++i) session->Step();

  std::vector<int64_t> numbers;
  for (const auto& message : link->WrittenMessages()) numbers.push_back(message.number);
  ASSERT_EQ(numbers.size(), MessageRing::kSlots + 1);
  EXPECT_EQ(numbers[0], 0);
  EXPECT_EQ(numbers[99], 99);
  EXPECT_EQ(numbers[100], 105);
}

TEST_F(SessionTest, WithoutServerAttemptsAreMoreThanFiveSecondsApart) {
  factory.connectSucceeds = false;
  session->Step();  // the first step tries at once
  ASSERT_EQ(factory.Count(), 1u);
  EXPECT_EQ(factory.Link(0)->host, "msgserver.local");
  EXPECT_EQ(factory.Link(0)->port, 4321);
  EXPECT_EQ(factory.Link(0)->connectTimeoutMs, kConnectTimeoutMs);
  EXPECT_FALSE(session->IsConnected());
  EXPECT_EQ(ticks, 1);

  StepAfter(kAttemptSpacingMs);
  EXPECT_EQ(factory.Count(), 1u);
  WriteSettings("10.1.2.3", 5000);  // read again before every attempt
  StepAfter(1);
  ASSERT_EQ(factory.Count(), 2u);
  EXPECT_EQ(factory.Link(1)->host, "10.1.2.3");
  EXPECT_EQ(factory.Link(1)->port, 5000);
  EXPECT_TRUE(factory.Link(0)->released);
  EXPECT_THAT(texts, ElementsAre(kConnecting, kConnecting));
}

TEST_F(SessionTest, IntroductionFollowsEarlierMessagesInOrderWithConsecutiveNumbers) {
  ASSERT_TRUE(session->QueueMessage(MsgPortState, Payload({3, 'C', 'O', 'M', 0, 0, 0, 0})));
  auto link = Connect();
  EXPECT_THAT(texts, ElementsAre(kConnecting, kConnected));
  EXPECT_EQ(ticks, 2);
  EXPECT_FALSE(session->IsIntroduced());

  for (int i = 0; i < 6; ++i) StepAfter(10);  // no answers: each read meets silence
  const auto written = link->WrittenMessages();
  ASSERT_EQ(written.size(), 5u);
  EXPECT_EQ(written[0].type, MsgPortState);
  EXPECT_EQ(written[1].type, MsgIntroduction);
  EXPECT_EQ(written[1].payload, Payload({0x2D, 0x00}));
  EXPECT_EQ(written[2].type, MsgPortState);
  EXPECT_EQ(written[2].payload, Payload({0x05, 0x43, 0x4F, 0x4D, 0x31, 0x32, 0x00, 0x01}));
  EXPECT_EQ(written[3].type, MsgFirstNumber);
  EXPECT_EQ(written[3].payload, Payload({0x03}));
  EXPECT_EQ(written[4].type, MsgVersion);
  EXPECT_EQ(written[4].payload, Payload({0x01, 0x00, 0x04, 0x00, 0x02, 0x00, 0x11, 0x00}));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(written[i].number, i);
  EXPECT_EQ(FramesRead(*link), 5);  // one read after each write, none without one
}

TEST_F(SessionTest, ServerThatNeverAcceptsIsDroppedFiveSecondsAfterTheAttempt) {
  auto first = Connect();
  const uint32_t attempt = clock.TickCount();
  for (int i = 0; i < 4; ++i) session->Step();  // each read waits out the idle time-out
  ASSERT_EQ(first->WrittenMessages().size(), 4u);
  clock.SetTick(attempt + kAttemptSpacingMs);
  session->Step();
  EXPECT_TRUE(session->IsConnected());
  StepAfter(1);
  EXPECT_FALSE(session->IsConnected());
  EXPECT_EQ(first->closeCalls, 0);  // left to the next attempt to release

  auto second = factory.PrepareNext();
  session->Step();
  EXPECT_TRUE(first->released);
  EXPECT_TRUE(session->IsConnected());
  session->Step();
  const auto written = second->WrittenMessages();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].type, MsgIntroduction);
  EXPECT_EQ(written[0].number, 4);  // numbering goes on across connections
}

TEST_F(SessionTest, PollsEveryFiveHundredMillisecondsOnceAcceptedWithNumberZero) {
  auto link = ConnectAndIntroduce();
  link->QueueAnswer(MsgPoll, {}, 77);
  link->QueueAnswer(MsgPoll);
  session->Step();  // the constructor's poll time is long past
  ASSERT_EQ(link->writes.size(), 1u);
  EXPECT_EQ(link->writes[0], BuildFrame(BuildMessage(MsgPoll, 0, {})));
  EXPECT_EQ(link->writes[0].size(), 39u);

  StepAfter(kPollIntervalMs);
  EXPECT_EQ(link->writes.size(), 1u);
  StepAfter(1);
  EXPECT_EQ(link->writes.size(), 2u);
  EXPECT_EQ(FramesRead(*link), 6);  // 4 introduction answers, 2 poll answers
  EXPECT_TRUE(link->reads.empty());

  ASSERT_TRUE(session->QueueMessage(MsgPortState, Bytes(8, 0)));
  session->Step();
  EXPECT_EQ(link->WrittenMessages().back().number, 4);  // polls took no number
}

TEST_F(SessionTest, ConfirmRequestIsAnsweredAfterTheMessagesAlreadyQueued) {
  auto link = ConnectAndIntroduce();
  for (uint8_t i = 0; i < 3; ++i) ASSERT_TRUE(session->QueueMessage(MsgPortState, Bytes(8, i)));
  link->QueueAnswer(MsgConfirmRequest);
  for (int i = 0; i < 3; ++i) link->QueueAnswer(MsgPoll);
  for (int i = 0; i < 4; ++i) session->Step();
  EXPECT_THAT(link->WrittenTypes(),
              ElementsAre(MsgPortState, MsgPortState, MsgPortState, MsgConfirm));
  EXPECT_TRUE(link->WrittenMessages().back().payload.empty());
}

TEST_F(SessionTest, OnlyGoodMessagesTickTheIndicator) {
  struct Case {
    const char* name;
    Bytes body;
    bool good;
  };
  Bytes wrongEnd = BuildMessage(MsgEventAck, 0, {});
  wrongEnd[17] = 0x00;
  const Case cases[] = {
      {"unknown type", BuildMessage(0x12345678, 5, Payload({1, 2})), true},
      {"wrong end marker", wrongEnd, false},
      {"body shorter than a header", Payload({0xFF, 0, 0, 0, 2, 0, 0, 0, 0, 0}), false},
  };
  auto link = ConnectAndIntroduce();
  AddRecord(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int ticksBefore = ticks;
    link->QueueBytes(BuildFrame(c.body));
    StepAfter(kRecordResendMs + 1);  // the record, written again each time
    EXPECT_EQ(ticks, ticksBefore + (c.good ? 1 : 0));
    EXPECT_TRUE(session->IsConnected());
    EXPECT_TRUE(session->IsIntroduced());
  }
  EXPECT_TRUE(records.Acknowledged().empty()) << "a damaged acknowledgement counts for nothing";
  EXPECT_EQ(texts.size(), 2u);
}

TEST_F(SessionTest, AccessDeniedClosesAndNeverTriesAgain) {
  auto link = Connect();
  link->QueueAnswer(MsgAccessDenied);
  session->Step();
  EXPECT_FALSE(session->IsConnected());
  EXPECT_EQ(link->closeCalls, 1);
  EXPECT_FALSE(link->open);

  for (int i = 0; i < 30; ++i) StepAfter(1000);
  EXPECT_THAT(texts, ElementsAre(kConnecting, kConnected, kAccessDenied));
  EXPECT_EQ(factory.Count(), 1u);
}

TEST_F(SessionTest, DisconnectOrderLeavesTheSocketAndReconnectsFiveSecondsLater) {
  auto link = ConnectAndIntroduce();
  FailPolls(2);
  link->QueueAnswer(MsgDisconnectOrder);
  StepAfter(kPollIntervalMs + 1);
  EXPECT_FALSE(session->IsConnected());
  EXPECT_EQ(link->closeCalls, 0);
  EXPECT_TRUE(link->open);
  EXPECT_EQ(texts.back(), kDisconnectOrder);

  StepAfter(kAttemptSpacingMs);
  EXPECT_EQ(texts.back(), kDisconnectOrder);
  factory.PrepareNext();
  StepAfter(1);
  EXPECT_THAT(texts,
              ElementsAre(kConnecting, kConnected, kDisconnectOrder, kConnecting, kConnected));
  EXPECT_TRUE(link->released);
}

TEST_F(SessionTest, DropConnectionLongAfterTheAttemptReconnectsInTheNextStep) {
  auto link = ConnectAndIntroduce();
  clock.Advance(kAttemptSpacingMs + 1);
  link->QueueAnswer(MsgDropConnection);
  session->Step();
  EXPECT_FALSE(session->IsConnected());
  EXPECT_EQ(link->closeCalls, 1);
  EXPECT_THAT(texts, ElementsAre(kConnecting, kConnected));

  factory.PrepareNext();
  session->Step();
  EXPECT_THAT(texts, ElementsAre(kConnecting, kConnected, kConnecting, kConnected));
  EXPECT_FALSE(session->IsIntroduced());  // until the new connection is accepted
}

TEST_F(SessionTest, MoreThanTwentyFailuresReconnect) {
  auto link = ConnectAndIntroduce();
  FailPolls(20);
  link->QueueAnswer(MsgPoll);  // one good message wipes the count
  StepAfter(kPollIntervalMs + 1);
  FailPolls(21);
  EXPECT_TRUE(session->IsConnected());
  EXPECT_THAT(texts, ElementsAre(kConnecting, kConnected));

  const long readsBefore = FramesRead(*link);
  StepAfter(kPollIntervalMs + 1);
  EXPECT_FALSE(session->IsConnected());
  EXPECT_EQ(texts.back(), kNetworkErrors);
  // The rest of that step still ran: one more read on the old connection.
  EXPECT_EQ(FramesRead(*link), readsBefore + 1);

  factory.PrepareNext();
  session->Step();
  EXPECT_THAT(texts, ElementsAre(kConnecting, kConnected, kNetworkErrors, kConnecting, kConnected));
  EXPECT_TRUE(link->released);
}

TEST_F(SessionTest, ServerClosingLeavesTheStateUntilFailuresPileUp) {
  auto link = ConnectAndIntroduce();
  const int ticksBefore = ticks;
  link->QueueEndOfStream();
  StepAfter(kPollIntervalMs + 1);
  EXPECT_FALSE(link->open);
  EXPECT_EQ(link->closeCalls, 0);  // closed without the close handler
  EXPECT_EQ(ticks, ticksBefore);
  EXPECT_TRUE(session->IsConnected());

  FailPolls(20);  // each a failed read of the answer still owed: 21 failures in all
  EXPECT_TRUE(session->IsConnected());
  EXPECT_THAT(texts, ElementsAre(kConnecting, kConnected));
  StepAfter(kPollIntervalMs + 1);
  EXPECT_FALSE(session->IsConnected());
  EXPECT_EQ(texts.back(), kNetworkErrors);
}

TEST_F(SessionTest, FailedWriteKeepsTheMessageForTheNextConnection) {
  auto link = ConnectAndIntroduce();
  const Bytes payload(8, 0x42);
  ASSERT_TRUE(session->QueueMessage(MsgPortState, payload));
  link->failWrites = true;
  const int ticksBefore = ticks;
  session->Step();
  EXPECT_EQ(link->closeCalls, 1);
  EXPECT_FALSE(session->IsConnected());
  EXPECT_EQ(ticks, ticksBefore + 1);

  auto next = Connect();
  for (int i = 0; i < 5; ++i) session->Step();
  ASSERT_EQ(next->writes.size(), 5u);
  EXPECT_EQ(next->writes[0], BuildFrame(BuildMessage(MsgPortState, 4, payload)));
  EXPECT_THAT(next->WrittenTypes(),
              ElementsAre(MsgPortState, MsgIntroduction, MsgPortState, MsgFirstNumber, MsgVersion));
}

TEST_F(SessionTest, RefusedMainThreadSkipsTheHooksButNotTheWork) {
  mainThread.refuse = true;
  auto link = factory.PrepareNext();
  session->Step();
  EXPECT_TRUE(session->IsConnected());
  for (int i = 0; i < 4; ++i) session->Step();
  EXPECT_TRUE(texts.empty());
  EXPECT_EQ(ticks, 0);
  EXPECT_THAT(link->WrittenTypes(),
              ElementsAre(MsgIntroduction, MsgPortState, MsgFirstNumber, MsgVersion));
}

// A factory whose first connection cannot be made at all.
class FailingOnceFactory final : public IConnectionFactory {
 public:
  explicit FailingOnceFactory(FakeConnectionFactory& inner) : inner_(inner) {}
  std::unique_ptr<IConnection> Create() override {
    if (!failed_) {
      failed_ = true;
      throw std::runtime_error("no sockets left");
    }
    return inner_.Create();
  }

 private:
  FakeConnectionFactory& inner_;
  bool failed_ = false;
};

TEST_F(SessionTest, ErrorsInsideAStepDoNotEndTheSession) {
  FailingOnceFactory failing(factory);
  session = MakeSession(mainThread, &failing);
  EXPECT_NO_THROW(session->Step());
  EXPECT_FALSE(session->IsConnected());
  StepAfter(kAttemptSpacingMs + 1);
  EXPECT_TRUE(session->IsConnected());

  // A hook that throws is the window's problem; the connection goes on.
  SessionHooks throwing;
  throwing.showLine = [](const std::string&) { throw std::runtime_error("window gone"); };
  throwing.readIntroduction = []() -> IntroductionInfo { throw std::runtime_error("no port"); };
  session = std::make_unique<MessageServerSession>(
      clock, mainThread, factory, records, [this] { return ReadServerEndpoint(settingsPath); },
      "1.0", throwing);
  EXPECT_NO_THROW(StepAfter(0));
  EXPECT_TRUE(session->IsConnected());
  session->Step();
  EXPECT_THAT(factory.Last()->WrittenTypes(), ElementsAre(MsgIntroduction));
}

// Store and forward: one spooled record out at a time, the next on its acknowledgement.

TEST_F(SessionTest, RecordsGoOneAtATimeAndTheNextAsSoonAsTheLastIsAcknowledged) {
  const uint64_t first = AddRecord(1);
  const uint64_t second = AddRecord(2);
  const uint64_t third = AddRecord(3);
  auto link = ConnectAndIntroduce();
  link->QueueAnswer(MsgEventAck);
  session->Step();
  EXPECT_THAT(records.Acknowledged(), ElementsAre(first));
  session->Step();  // at once: no tick or poll interval in between; its answer is late
  EXPECT_THAT(RecordsWritten(*link), ElementsAre(1, 2));
  EXPECT_THAT(records.Acknowledged(), ElementsAre(first));

  // The answer owed is read before anything more is written: no poll meanwhile.
  link->QueueAnswer(MsgEventAck);
  session->Step();
  EXPECT_THAT(link->WrittenTypes(), ElementsAre(MsgEventRecord, MsgEventRecord));
  EXPECT_THAT(records.Acknowledged(), ElementsAre(first, second));

  link->QueueAnswer(MsgEventAck);
  session->Step();
  EXPECT_THAT(records.Acknowledged(), ElementsAre(first, second, third));
  EXPECT_EQ(records.Size(), 0u);

  // Each record is a message of its own with the next running number.
  const auto written = link->WrittenMessages();
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[0].number, 4);
  EXPECT_EQ(written[1].number, 5);
  EXPECT_EQ(written[2].number, 6);
  EXPECT_EQ(written[2].payload, Bytes(27, 3));
}

TEST_F(SessionTest, RecordsWaitForTheServersAcceptAndControlMessagesGoFirst) {
  AddRecord(1);
  auto link = Connect();
  for (int i = 0; i < 4; ++i) session->Step();  // no answers: not accepted
  EXPECT_THAT(RecordsWritten(*link), ElementsAre());

  link->QueueAnswer(MsgAccepted);
  ASSERT_TRUE(session->QueueMessage(MsgPortState, Bytes(8, 0)));
  session->Step();
  ASSERT_TRUE(session->IsIntroduced());
  link->QueueAnswer(MsgConfirmRequest);
  session->Step();
  session->Step();
  EXPECT_THAT(link->WrittenTypes(),
              ElementsAre(MsgIntroduction, MsgPortState, MsgFirstNumber, MsgVersion, MsgPortState,
                          MsgEventRecord, MsgConfirm));
}

// Every frame gets one answer, in order: each acknowledgement is matched with the write it
// answers, so the answer to a second copy is not taken for the record written after it.
TEST_F(SessionTest, AnUnacknowledgedRecordGoesAgainAfterThreeSecondsAndEachAnswerFindsItsCopy) {
  const uint64_t first = AddRecord(1);
  const uint64_t second = AddRecord(2);
  auto link = ConnectAndIntroduce();
  session->Step();                 // the first copy; its answer is late
  StepAfter(kPollIntervalMs + 1);  // reads for it, late again
  StepAfter(kPollIntervalMs + 1);  // more than 3 s: the second copy
  EXPECT_THAT(link->WrittenTypes(), ElementsAre(MsgEventRecord, MsgEventRecord));

  // Now the server answers both copies, in order.
  link->QueueAnswer(MsgEventAck);
  link->QueueAnswer(MsgEventAck);
  session->Step();  // the first copy's acknowledgement
  EXPECT_THAT(records.Acknowledged(), ElementsAre(first));
  session->Step();  // the second record goes; the second copy's acknowledgement is read
  EXPECT_THAT(RecordsWritten(*link), ElementsAre(1, 1, 2));
  EXPECT_THAT(records.Acknowledged(), ElementsAre(first)) << "not the second record's answer";

  link->QueueAnswer(MsgEventAck);
  session->Step();
  EXPECT_THAT(records.Acknowledged(), ElementsAre(first, second));
  EXPECT_EQ(session->RecordsSentAgain(), 1u) << "the first record's second copy";
}

// Only a stream whose framing is lost makes the session leave a live connection of its own.
TEST_F(SessionTest, AFrameThatCannotBeReadLeavesTheConnectionAndTheRecordGoesOnTheNext) {
  struct Case {
    const char* name;
    std::function<Bytes()> answer;
  };
  const Bytes ack = BuildFrame(BuildMessage(MsgEventAck, 0, {}));
  const std::vector<Case> cases = {
      {"wrong frame marker",
       [&] {
         Bytes bytes = ack;
         bytes[0] = 0x7E;
         return bytes;
       }},
      {"impossible length",
       [&] {
         Bytes bytes = ack;
         bytes[FrameHeader::kBodyLengthOffset + 3] = 0x7F;  // 2^31 - 1 and more
         return bytes;
       }},
      {"body cut short", [&] { return Bytes(ack.begin(), ack.end() - 5); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    records.Clear();
    session = MakeSession(mainThread);
    texts.clear();
    const uint64_t first = AddRecord(1);
    auto link = ConnectAndIntroduce();
    link->QueueBytes(c.answer());
    session->Step();
    EXPECT_FALSE(session->IsConnected());
    EXPECT_EQ(texts.back(), kNetworkErrors);
    EXPECT_TRUE(records.Acknowledged().empty());

    auto next = Connect();
    Introduce(*next);
    next->QueueAnswer(MsgEventAck);
    session->Step();
    EXPECT_THAT(RecordsWritten(*next), ElementsAre(1));
    EXPECT_THAT(records.Acknowledged(), ElementsAre(first));
  }
}

// A garbled body, silence, a late answer: none of them is a reason to leave the connection.
TEST_F(SessionTest, ALateOrGarbledAnswerKeepsTheConnectionAndIsPlacedAgainstItsWrite) {
  const uint64_t first = AddRecord(1);
  const uint64_t second = AddRecord(2);
  auto link = ConnectAndIntroduce();
  Bytes garbled = BuildFrame(BuildMessage(MsgEventAck, 0, {}));
  garbled[FrameHeader::kSize] = 0x00;  // the message's start marker: a frame, but no message
  session->Step();                     // the first record; silence
  link->QueueBytes(garbled);           // the answer to the first copy, at last
  StepAfter(kPollIntervalMs + 1);
  StepAfter(kRecordResendMs);  // the second copy; its answer acknowledges
  link->QueueAnswer(MsgEventAck);
  session->Step();
  EXPECT_TRUE(session->IsConnected());
  EXPECT_THAT(records.Acknowledged(), ElementsAre(first));
  link->QueueAnswer(MsgEventAck);
  session->Step();
  EXPECT_THAT(RecordsWritten(*link), ElementsAre(1, 1, 2));
  EXPECT_THAT(records.Acknowledged(), ElementsAre(first, second));
  EXPECT_THAT(texts, ElementsAre(kConnecting, kConnected));
}

// A server may answer a record with a poll or a confirmation request and acknowledge it in its
// answer to the next message.
TEST_F(SessionTest, AnAcknowledgementDeferredToTheNextAnswerAcknowledgesTheRecordLastWritten) {
  for (const uint32_t firstAnswer : {MsgPoll, MsgConfirmRequest}) {
    SCOPED_TRACE(firstAnswer == MsgPoll ? "poll" : "confirmation request");
    records.Clear();
    session = MakeSession(mainThread);
    const uint64_t first = AddRecord(1);
    const uint64_t second = AddRecord(2);
    auto link = ConnectAndIntroduce();
    link->QueueAnswer(firstAnswer);
    session->Step();  // the first record, answered without an acknowledgement
    link->QueueAnswer(MsgEventAck);
    StepAfter(kPollIntervalMs + 1);  // a poll or the confirmation: the deferred acknowledgement
    EXPECT_THAT(records.Acknowledged(), ElementsAre(first));
    link->QueueAnswer(MsgEventAck);
    session->Step();
    EXPECT_THAT(RecordsWritten(*link), ElementsAre(1, 2));
    EXPECT_THAT(records.Acknowledged(), ElementsAre(first, second));
    // A further acknowledgement of a poll finds no record out: nothing more.
    link->QueueAnswer(MsgEventAck);
    StepAfter(kPollIntervalMs + 1);
    EXPECT_THAT(records.Acknowledged(), ElementsAre(first, second));
    EXPECT_TRUE(session->IsConnected());
  }
}

TEST_F(SessionTest, AServerThatAcknowledgesNothingKeepsTheConnectionAndTheOrder) {
  AddRecord(1);
  AddRecord(2);
  auto link = ConnectAndIntroduce();
  for (int i = 0; i < 200; ++i) link->QueueAnswer(MsgPoll);     // prompt, never an acknowledgement
  for (int i = 0; i < 60; ++i) StepAfter(kPollIntervalMs + 1);  // 30 s
  EXPECT_TRUE(session->IsConnected());
  EXPECT_THAT(texts, ElementsAre(kConnecting, kConnected));
  const std::vector<int> written = RecordsWritten(*link);
  // The first every 3 s; now and then the second once, to see whether the server takes others.
  EXPECT_GE(std::count(written.begin(), written.end(), 1), 8);
  EXPECT_GE(std::count(written.begin(), written.end(), 2), 1);
  EXPECT_LT(std::count(written.begin(), written.end(), 2),
            std::count(written.begin(), written.end(), 1));
  EXPECT_TRUE(records.PassedOver().empty());
  EXPECT_EQ(records.Size(), 2u);
}

TEST_F(SessionTest, ARecordTheServerRefusesWhileItTakesOthersIsPassedOverAndLoggedOnce) {
  const uint64_t refused = AddRecord(1);
  const uint64_t second = AddRecord(2);
  const uint64_t third = AddRecord(3);
  auto link = ConnectAndIntroduce();

  // Record 1 is answered, never acknowledged; three refusals, then record 2 is tried.
  for (int copy = 0; copy < kRefusalsBeforeTryingTheNext; ++copy) {
    link->QueueAnswer(MsgPoll);
    if (copy == 0) {
      session->Step();
    } else {
      StepAfter(kRecordResendMs + 1);
    }
  }
  EXPECT_THAT(RecordsWritten(*link), ElementsAre(1, 1, 1));
  link->QueueAnswer(MsgEventAck);
  session->Step();  // record 2, acknowledged: record 1 goes behind the others
  EXPECT_THAT(records.Acknowledged(), ElementsAre(second));
  EXPECT_THAT(records.PassedOver(), ElementsAre(refused));
  EXPECT_EQ(session->RecordsPassedOver(), 1u);
  EXPECT_THAT(errors, ElementsAre(kErrorRecordPassedOver));

  link->QueueAnswer(MsgEventAck);
  session->Step();  // record 3 goes at once
  EXPECT_THAT(records.Acknowledged(), ElementsAre(second, third));
  // Record 1 comes round again, alone: sent again every 3 s, logged no more.
  link->QueueAnswer(MsgPoll);
  session->Step();
  const uint64_t fourth = AddRecord(4);
  link->QueueAnswer(MsgPoll);
  StepAfter(kRecordResendMs + 1);  // record 1 once more; one refusal is enough now
  link->QueueAnswer(MsgEventAck);
  session->Step();  // record 4 is tried and taken
  EXPECT_THAT(RecordsWritten(*link), ElementsAre(1, 1, 1, 2, 3, 1, 1, 4));
  EXPECT_THAT(records.Acknowledged(), ElementsAre(second, third, fourth));
  EXPECT_THAT(records.PassedOver(), ElementsAre(refused, refused));
  EXPECT_THAT(errors, ElementsAre(kErrorRecordPassedOver));
  EXPECT_TRUE(session->IsConnected());
}

// The main thread may queue a control message between the choice of the record and its write:
// the control message then goes first, so that numbers rise on the wire.
TEST_F(SessionTest, MessageNumbersRiseOnTheWire) {
  AddRecord(1);
  auto link = ConnectAndIntroduce();
  bool queued = false;
  records.onOldest = [&] {
    if (!queued) queued = session->QueueMessage(MsgPortState, Bytes(8, 0));
  };
  link->QueueAnswer(MsgPoll);
  link->QueueAnswer(MsgEventAck);
  for (int i = 0; i < 3; ++i) session->Step();
  records.onOldest = nullptr;
  ASSERT_TRUE(queued);
  std::vector<int64_t> numbers;
  for (const auto& message : link->WrittenMessages()) {
    if (message.type != MsgPoll) numbers.push_back(message.number);
  }
  EXPECT_THAT(link->WrittenTypes(), ElementsAre(MsgPortState, MsgEventRecord));
  EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()) &&
              std::adjacent_find(numbers.begin(), numbers.end()) == numbers.end())
      << ::testing::PrintToString(numbers);
}

TEST_F(SessionTest, ARecordThatCannotBeReadNowIsSkippedAndTriedAgainLater) {
  const uint64_t first = AddRecord(1);
  auto link = ConnectAndIntroduce();
  records.SetUnreadable(first, true);
  link->QueueAnswer(MsgPoll);  // the answer to the poll that goes instead
  session->Step();
  EXPECT_TRUE(RecordsWritten(*link).empty());
  const uint64_t second = AddRecord(2);
  session->RecordsQueued();
  link->QueueAnswer(MsgEventAck);
  StepAfter(kUnsendableRetryMs + 1);
  EXPECT_THAT(records.Acknowledged(), ElementsAre(second));
  records.SetUnreadable(first, false);
  link->QueueAnswer(MsgEventAck);
  StepAfter(kUnsendableRetryMs + 1);
  EXPECT_THAT(RecordsWritten(*link), ElementsAre(2, 1));
  EXPECT_THAT(records.Acknowledged(), ElementsAre(second, first));
}

TEST_F(SessionTest, TheRecordThatWasOutGoesAgainOnTheNextConnectionAfterTheIntroduction) {
  const uint64_t first = AddRecord(1);
  auto link = ConnectAndIntroduce();
  link->QueueEndOfStream();  // written, then the server dies before it answers
  session->Step();
  EXPECT_THAT(RecordsWritten(*link), ElementsAre(1));
  // Every step's read fails on the closed socket until the failures make the session reconnect.
  for (int i = 0; i < 30 && session->IsConnected(); ++i) StepAfter(kPollIntervalMs + 1);
  ASSERT_FALSE(session->IsConnected());

  auto next = factory.PrepareNext();
  StepAfter(kAttemptSpacingMs + 1);
  ASSERT_TRUE(session->IsConnected());
  // An acknowledgement before the record is written again answers something else.
  next->QueueAnswer(MsgAccepted);
  next->QueueAnswer(MsgEventAck);
  for (int i = 0; i < 2; ++i) next->QueueAnswer(MsgPoll);
  for (int i = 0; i < 4; ++i) session->Step();
  EXPECT_TRUE(records.Acknowledged().empty());
  next->QueueAnswer(MsgEventAck);
  session->Step();
  EXPECT_THAT(next->WrittenTypes(), ElementsAre(MsgIntroduction, MsgPortState, MsgFirstNumber,
                                                MsgVersion, MsgEventRecord));
  EXPECT_THAT(records.Acknowledged(), ElementsAre(first));
}

TEST_F(SessionTest, AFailedRecordWriteKeepsTheRecordForTheNextConnection) {
  AddRecord(1);
  auto link = ConnectAndIntroduce();
  link->failWrites = true;
  session->Step();
  EXPECT_FALSE(session->IsConnected());
  EXPECT_EQ(records.Size(), 1u);
  auto next = Connect();
  Introduce(*next);
  next->QueueAnswer(MsgEventAck);
  session->Step();
  EXPECT_THAT(RecordsWritten(*next), ElementsAre(1));
  EXPECT_EQ(records.Size(), 0u);
}

TEST_F(SessionTest, AcknowledgementsWithNothingOutAreIgnored) {
  auto link = ConnectAndIntroduce();
  link->QueueAnswer(MsgEventAck);  // in answer to a poll, with no record out
  session->Step();
  const uint64_t first = AddRecord(1);
  link->QueueAnswer(MsgEventAck);
  session->Step();
  EXPECT_THAT(records.Acknowledged(), ElementsAre(first));
}

TEST_F(SessionTest, ARecordDeletedByHandWhileOutDoesNotLendItsAcknowledgementToTheNext) {
  const uint64_t first = AddRecord(1);
  const uint64_t second = AddRecord(2);
  auto link = ConnectAndIntroduce();
  session->Step();                 // the first record; its answer is late
  records.Remove(first);           // its file is deleted meanwhile
  link->QueueAnswer(MsgEventAck);  // the first record's answer
  session->Step();                 // the second record goes at once
  EXPECT_THAT(RecordsWritten(*link), ElementsAre(1, 2));
  EXPECT_EQ(records.Size(), 1u) << "the second record still waits";
  link->QueueAnswer(MsgEventAck);
  StepAfter(kPollIntervalMs + 1);
  EXPECT_EQ(records.Size(), 0u);
  EXPECT_THAT(records.Acknowledged(), ElementsAre(second));
}

class SessionThreadTest : public SessionTest {
 protected:
  static bool WaitUntil(const std::function<bool()>& condition) {
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > bound) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
};

TEST_F(SessionThreadTest, StopWakesABlockedConnectOrRead) {
  for (const bool inConnect : {true, false}) {
    SCOPED_TRACE(inConnect ? "connect" : "read");
    auto link = factory.PrepareNext();
    link->blockConnect = inConnect;
    link->blockReads = !inConnect;
    session = MakeSession(mainThread);
    session->Start();
    ASSERT_TRUE(WaitUntil([&] { return link->blocked.load(); }));
    session->Stop();
    EXPECT_TRUE(link->aborted);
    EXPECT_TRUE(link->released);
    EXPECT_FALSE(session->IsConnected());
    EXPECT_EQ(link->WrittenTypes().size(), inConnect ? 0u : 1u);
  }
}

TEST_F(SessionThreadTest, StopReturnsWhileTheSessionWaitsForAStoppedMainThread) {
  testing::ManualMainThread manual;
  session = MakeSession(manual);
  session->Start();
  ASSERT_TRUE(manual.WaitForTask(std::chrono::seconds(10)));
  manual.Stop();
  session->Stop();
  EXPECT_EQ(ticks, 0);
  EXPECT_TRUE(texts.empty());
}

}  // namespace
}  // namespace drv
