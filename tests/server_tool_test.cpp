#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "delivery/event_record.h"
#include "delivery/message_types.h"
#include "delivery/protocol.h"
#include "delivery/tcp_connection.h"
#include "support/child_process_posix.h"

namespace drv {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::ExitedWith;

using Bytes = std::vector<uint8_t>;
constexpr auto kSafety = 10s;

std::string Bin(const std::string& name) {
  return std::string(DRV_BIN_DIR) + "/" + name;
}

std::string Hex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const uint8_t byte : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

bool IsConnectionLine(const std::string& line) {
  return line.rfind("connection ", 0) == 0;
}

class ServerToolTest : public ::testing::Test {
 protected:
  // Starts the server on a free port with the given options.
  void Start(std::vector<std::string> options = {}) {
    std::vector<std::string> argv{Bin("drvtirval-server"), "--port", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    server_ = std::make_unique<ChildProcess>(ChildProcess::Options{argv, "", {}});
    const auto line = server_->ReadLine(kSafety);
    ASSERT_TRUE(line.has_value());
    ASSERT_EQ(line->rfind("listening on 127.0.0.1:", 0), 0u) << *line;
    port_ = std::stoi(line->substr(line->rfind(':') + 1));
  }

  std::unique_ptr<TcpConnection> Connect() {
    auto connection = std::make_unique<TcpConnection>();
    EXPECT_TRUE(connection->Connect("127.0.0.1", port_, 2500));
    return connection;
  }

  void Send(IConnection& connection, uint32_t type, const Bytes& payload = {}) {
    ASSERT_TRUE(WriteFrame(connection, BuildMessage(type, number_++, payload)));
  }

  // The next answer, if one comes and is a good message.
  std::optional<DecodedMessage> ReadAnswer(IConnection& connection) {
    const FrameReadResult frame = ReadFrame(connection, clock_);
    if (!frame.Ok()) return std::nullopt;
    return DecodeMessage(frame.body);
  }

  // Sends one message and returns the type of the answer (0 when there is none).
  uint32_t Exchange(IConnection& connection, uint32_t type, const Bytes& payload = {}) {
    Send(connection, type, payload);
    const auto answer = ReadAnswer(connection);
    return answer ? answer->type : 0;
  }

  // The next line that reports a message.
  std::string NextMessageLine() {
    const auto line =
        server_->WaitForLine([](const std::string& l) { return !IsConnectionLine(l); }, kSafety);
    return line.value_or("<no line>");
  }

  static Bytes SampleRecord(int32_t objectNumber = 41234) {
    EventRecord record;
    record.ObjectNumber = objectNumber;
    record.SetEventCode("1130");
    record.Zone = 5;
    record.Partition = 1;
    record.EventTime = 46000.5;
    const EventRecordBytes bytes = SerializeEventRecord(record);
    return Bytes(bytes.begin(), bytes.end());
  }

  SystemClock clock_;
  std::unique_ptr<ChildProcess> server_;
  int port_ = 0;
  int64_t number_ = 0;
};

TEST_F(ServerToolTest, OptionsAndExitStatus) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string firstLine;  // expected start of the first output line; empty: no output
  };
  const Case cases[] = {
      {{"--help"}, 0, "Usage: drvtirval-server"},
      {{"--version"}, 0, std::string("drvtirval-server ") + DRV_VERSION_TEXT},
      {{"--bogus"}, 2, ""},
      {{"--port", "x"}, 2, ""},
      {{"--port", "70000"}, 2, ""},
      {{"--drop-after"}, 2, ""},
      {{"--drop-after", "0"}, 2, ""},
      {{"--delay-ms", "-1"}, 2, ""},
      {{"--late-ms", "600001"}, 2, ""},
      {{"--never-ack-object", "2147483648"}, 2, ""},
      {{"--never-ack-copies", "0"}, 2, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front());
    std::vector<std::string> argv{Bin("drvtirval-server")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ChildProcess process({argv, "", {}});
    const auto line = process.ReadLine(kSafety);
    EXPECT_TRUE(ExitedWith(process.WaitForExit(kSafety), c.status));
    if (c.firstLine.empty()) {
      EXPECT_FALSE(line.has_value()) << *line;
    } else {
      ASSERT_TRUE(line.has_value());
      EXPECT_EQ(line->rfind(c.firstLine, 0), 0u) << *line;
    }
  }
}

TEST_F(ServerToolTest, AnswersAndPrintsEveryMessage) {
  Start();
  auto connection = Connect();
  const Bytes portState{0x05, 0x43, 0x4F, 0x4D, 0x31, 0x32, 0x00, 0x01};
  const Bytes record = SampleRecord();
  EXPECT_EQ(Exchange(*connection, MsgIntroduction, {0x2D, 0x00}), MsgAccepted);
  EXPECT_EQ(Exchange(*connection, MsgPortState, portState), MsgPoll);
  EXPECT_EQ(Exchange(*connection, MsgEventRecord, record), MsgEventAck);
  EXPECT_EQ(Exchange(*connection, MsgPoll), MsgPoll);
  EXPECT_EQ(Exchange(*connection, 0x01020304, {0xAB}), MsgPoll);

  EXPECT_EQ(NextMessageLine(), "MsgIntroduction number=0 payload=2D 00");
  EXPECT_EQ(NextMessageLine(), "MsgPortState number=1 payload=05 43 4F 4D 31 32 00 01");
  EXPECT_EQ(NextMessageLine(), "event number=2 " + DescribeEventRecord(*ParseEventRecord(record)) +
                                   " bytes=" + Hex(record));
  EXPECT_EQ(NextMessageLine(), "MsgPoll number=3 payload=");
  EXPECT_EQ(NextMessageLine(), "type=0x01020304 number=4 payload=AB");
}

TEST_F(ServerToolTest, ScriptedAnswers) {
  struct Case {
    std::vector<std::string> options;
    std::vector<uint32_t> sent;
    std::vector<uint32_t> answers;
  };
  const Case cases[] = {
      {{"--deny"}, {MsgIntroduction, MsgIntroduction}, {MsgAccessDenied, MsgAccessDenied}},
      {{"--disconnect-after", "2"},
       {MsgPoll, MsgPoll, MsgPoll},
       {MsgPoll, MsgDisconnectOrder, MsgPoll}},
      {{"--drop-after", "1"}, {MsgIntroduction, MsgPoll}, {MsgDropConnection, MsgPoll}},
      {{"--confirm-after", "2"},
       {MsgIntroduction, MsgPoll, MsgConfirm},
       {MsgAccepted, MsgConfirmRequest, MsgPoll}},
      {{"--no-ack"}, {MsgEventRecord}, {MsgPoll}},
      {{"--delay-ms", "200"}, {MsgIntroduction, MsgEventRecord}, {MsgAccepted, MsgEventAck}},
      // The acknowledgement held back answers whatever comes next, a copy of the record too,
      // whose own acknowledgement is then held back in turn.
      {{"--defer-ack"},
       {MsgIntroduction, MsgEventRecord, MsgPoll, MsgPoll},
       {MsgAccepted, MsgPoll, MsgEventAck, MsgPoll}},
      {{"--defer-ack"},
       {MsgIntroduction, MsgEventRecord, MsgEventRecord, MsgConfirm, MsgPoll},
       {MsgAccepted, MsgPoll, MsgEventAck, MsgEventAck, MsgPoll}},
      {{"--double-ack"},
       {MsgIntroduction, MsgEventRecord, MsgPoll, MsgPoll, MsgEventRecord, MsgEventRecord,
        MsgConfirm, MsgPortState},
       {MsgAccepted, MsgEventAck, MsgEventAck, MsgPoll, MsgEventAck, MsgEventAck, MsgEventAck,
        MsgPoll}},
      {{"--defer-ack-confirm"},
       {MsgIntroduction, MsgEventRecord, MsgConfirm, MsgPoll},
       {MsgAccepted, MsgConfirmRequest, MsgEventAck, MsgPoll}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options.front());
    Start(c.options);
    auto connection = Connect();
    std::vector<uint32_t> answers;
    for (const uint32_t type : c.sent) {
      answers.push_back(
          Exchange(*connection, type, type == MsgEventRecord ? SampleRecord() : Bytes{}));
    }
    EXPECT_THAT(answers, ElementsAreArray(c.answers));
  }
}

TEST_F(ServerToolTest, RecordsOfOneObjectGoUnacknowledged) {
  struct Case {
    std::vector<std::string> options;
    std::vector<int32_t> objects;  // one event record each, in this order
    std::vector<uint32_t> answers;
  };
  const Case cases[] = {
      {{"--never-ack-object", "41234"},
       {41234, 41235, 41234, 41234},
       {MsgPoll, MsgEventAck, MsgPoll, MsgPoll}},
      {{"--never-ack-object", "-5"}, {5, -5}, {MsgEventAck, MsgPoll}},
      {{"--never-ack-object", "41234", "--never-ack-copies", "2"},
       {41234, 41235, 41234, 41234},
       {MsgPoll, MsgEventAck, MsgPoll, MsgEventAck}},
      {{"--never-ack-object", "41234", "--never-ack-ms", "60000"},
       {41234, 41234, 41234},
       {MsgPoll, MsgPoll, MsgPoll}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.options));
    Start(c.options);
    auto connection = Connect();
    EXPECT_EQ(Exchange(*connection, MsgIntroduction, {0x2D, 0x00}), MsgAccepted);
    std::vector<uint32_t> answers;
    for (const int32_t object : c.objects) {
      answers.push_back(Exchange(*connection, MsgEventRecord, SampleRecord(object)));
    }
    EXPECT_THAT(answers, ElementsAreArray(c.answers));
  }
}

TEST_F(ServerToolTest, AnObjectGoesUnacknowledgedOnlyForTheTimeGiven) {
  Start({"--never-ack-object", "41234", "--never-ack-ms", "300"});
  auto connection = Connect();
  EXPECT_EQ(Exchange(*connection, MsgEventRecord, SampleRecord()), MsgPoll);
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(Exchange(*connection, MsgEventRecord, SampleRecord()), MsgEventAck);
}

TEST_F(ServerToolTest, AnAcknowledgementHeldBackDiesWithItsConnection) {
  Start({"--defer-ack"});
  auto first = Connect();
  EXPECT_EQ(Exchange(*first, MsgIntroduction, {0x2D, 0x00}), MsgAccepted);
  EXPECT_EQ(Exchange(*first, MsgEventRecord, SampleRecord()), MsgPoll);
  first.reset();
  EXPECT_EQ(NextMessageLine(), "MsgIntroduction number=0 payload=2D 00");
  EXPECT_EQ(NextMessageLine().rfind("event number=1 ", 0), 0u);
  ASSERT_TRUE(
      server_->WaitForLine([](const std::string& l) { return l == "connection closed"; }, kSafety));
  auto second = Connect();
  EXPECT_EQ(Exchange(*second, MsgIntroduction, {0x2D, 0x00}), MsgAccepted);
  EXPECT_EQ(Exchange(*second, MsgPoll), MsgPoll);
}

TEST_F(ServerToolTest, BrokenAnswersFailTheRead) {
  struct Case {
    std::string option;
    FrameReadStatus status;
  };
  const Case cases[] = {
      {"--garbage-after", FrameReadStatus::kBadMarker},
      {"--oversized-after", FrameReadStatus::kBadLength},
      {"--silent", FrameReadStatus::kTimedOut},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option);
    Start(c.option == "--silent" ? std::vector<std::string>{c.option}
                                 : std::vector<std::string>{c.option, "1"});
    auto connection = Connect();
    Send(*connection, MsgIntroduction, {0x2D, 0x00});
    EXPECT_EQ(ReadFrame(*connection, clock_).status, c.status);
    EXPECT_EQ(NextMessageLine(),
              "MsgIntroduction number=" + std::to_string(number_ - 1) + " payload=2D 00");
  }
}

TEST_F(ServerToolTest, LateAnswersLeaveTheServerReading) {
  // Answers a minute away: every message is read and printed long before the first answer.
  Start({"--late-ms", "60000"});
  auto connection = Connect();
  Send(*connection, MsgIntroduction, {0x2D, 0x00});
  Send(*connection, MsgEventRecord, SampleRecord());
  Send(*connection, MsgPoll);
  EXPECT_EQ(NextMessageLine(), "MsgIntroduction number=0 payload=2D 00");
  EXPECT_EQ(NextMessageLine().rfind("event number=1 ", 0), 0u);
  EXPECT_EQ(NextMessageLine(), "MsgPoll number=2 payload=");
  uint8_t byte = 0;
  EXPECT_EQ(connection->ReadSome(&byte, 1, 300), 0);  // nothing answered yet
}

TEST_F(ServerToolTest, LateAnswersGoOutInTheOrderOfTheirMessages) {
  Start({"--late-ms", "200"});
  auto connection = Connect();
  Send(*connection, MsgIntroduction, {0x2D, 0x00});
  Send(*connection, MsgEventRecord, SampleRecord());
  Send(*connection, MsgPoll);
  Send(*connection, MsgEventRecord, SampleRecord());
  std::vector<std::pair<uint32_t, int64_t>> answers;
  for (int i = 0; i < 4; ++i) {
    const auto answer = ReadAnswer(*connection);
    ASSERT_TRUE(answer.has_value()) << "answer " << i;
    answers.emplace_back(answer->type, answer->number);
  }
  EXPECT_THAT(answers, ElementsAre(std::pair{MsgAccepted, 0}, std::pair{MsgEventAck, 1},
                                   std::pair{MsgPoll, 2}, std::pair{MsgEventAck, 3}));
}

TEST_F(ServerToolTest, LateAnswersOfAReplacedConnectionAreNotSent) {
  Start({"--late-ms", "300"});
  auto first = Connect();
  Send(*first, MsgIntroduction, {0x2D, 0x00});
  EXPECT_EQ(NextMessageLine(), "MsgIntroduction number=0 payload=2D 00");
  auto second = Connect();
  Send(*second, MsgIntroduction, {0x2D, 0x00});
  const auto answer = ReadAnswer(*second);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->type, MsgAccepted);
  EXPECT_EQ(answer->number, 1);  // the answer owed to the first connection went with it
  uint8_t byte = 0;
  EXPECT_EQ(second->ReadSome(&byte, 1, 1000), 0);
}

TEST_F(ServerToolTest, NewConnectionReplacesTheOld) {
  Start();
  auto first = Connect();
  EXPECT_EQ(Exchange(*first, MsgIntroduction, {0x2D, 0x00}), MsgAccepted);
  auto second = Connect();
  uint8_t byte = 0;
  EXPECT_EQ(first->ReadSome(&byte, 1, 10000), -1);  // the server let the first one go
  EXPECT_EQ(Exchange(*second, MsgIntroduction, {0x2D, 0x00}), MsgAccepted);
  EXPECT_EQ(NextMessageLine(), "MsgIntroduction number=0 payload=2D 00");
  EXPECT_EQ(NextMessageLine(), "MsgIntroduction number=1 payload=2D 00");
  EXPECT_THAT(server_->Lines(),
              ElementsAre("connection accepted", "MsgIntroduction number=0 payload=2D 00",
                          "connection closed", "connection accepted",
                          "MsgIntroduction number=1 payload=2D 00"));
}

TEST_F(ServerToolTest, ExitsAfterTheGivenNumberOfEvents) {
  Start({"--exit-after-events", "2"});
  auto connection = Connect();
  EXPECT_EQ(Exchange(*connection, MsgEventRecord, SampleRecord()), MsgEventAck);
  EXPECT_EQ(Exchange(*connection, MsgPoll), MsgPoll);
  EXPECT_EQ(Exchange(*connection, MsgEventRecord, SampleRecord()), MsgEventAck);
  EXPECT_TRUE(ExitedWith(server_->WaitForExit(kSafety), 0));
}

TEST_F(ServerToolTest, ExitsAfterTheLastEventOnlyOnceItsLateAnswerIsOut) {
  Start({"--exit-after-events", "1", "--late-ms", "200"});
  auto connection = Connect();
  EXPECT_EQ(Exchange(*connection, MsgEventRecord, SampleRecord()), MsgEventAck);
  EXPECT_TRUE(ExitedWith(server_->WaitForExit(kSafety), 0));
}

TEST_F(ServerToolTest, EndsCleanlyOnTerminationSignals) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    Start();
    auto connection = Connect();
    EXPECT_EQ(Exchange(*connection, MsgPoll), MsgPoll);
    server_->Signal(signal);
    EXPECT_TRUE(ExitedWith(server_->WaitForExit(kSafety), 0));
    uint8_t byte = 0;
    EXPECT_EQ(connection->ReadSome(&byte, 1, 10000), -1);
  }
}

}  // namespace
}  // namespace drv
