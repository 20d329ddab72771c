// The session thread against real sockets: the server program of the build, or a server inside
// the test where the exact bytes matter.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "app/driver_settings.h"
#include "base/clock.h"
#include "delivery/event_record.h"
#include "delivery/message_types.h"
#include "delivery/protocol.h"
#include "delivery/session.h"
#include "delivery/tcp_connection.h"
#include "fakes/fake_record_queue.h"
#include "fakes/manual_main_thread.h"
#include "fakes/temp_dir.h"
#include "support/child_process_posix.h"

namespace drv {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::FakeRecordQueue;
using testing::InlineMainThread;
using testing::TempDir;

using Bytes = std::vector<uint8_t>;
constexpr auto kSafety = 10s;

// What the session's hooks reported, from the session thread.
class Recorder {
 public:
  SessionHooks Hooks() {
    SessionHooks hooks;
    hooks.showLine = [this](const std::string& line) { Update([&] { lines_.push_back(line); }); };
    hooks.tickIndicator = [] {};
    hooks.readIntroduction = [] { return IntroductionInfo{"COM12", true, 4}; };
    return hooks;
  }
  bool WaitForLineEnding(const std::string& text) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kSafety, [&] {
      for (const auto& line : lines_) {
        if (line.size() >= text.size() &&
            line.compare(line.size() - text.size(), text.size(), text) == 0) {
          return true;
        }
      }
      return false;
    });
  }

 private:
  void Update(const std::function<void()>& change) {
    std::lock_guard lock(mutex_);
    change();
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

class SessionLoopbackTest : public ::testing::Test {
 protected:
  void StartSession(int port) {
    testing::WriteFileBytes(settingsPath_, "[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" +
                                               std::to_string(port) + "\r\n");
    session_ = std::make_unique<MessageServerSession>(
        clock_, mainThread_, connections_, records_,
        [this] { return ReadServerEndpoint(settingsPath_); }, "1.4.2.17", recorder_.Hooks());
    session_->Start();
  }

  // Stop() must come back even while the session waits on the network.
  void StopAndExpectReturn() {
    auto stopped = std::async(std::launch::async, [&] { session_->Stop(); });
    ASSERT_EQ(stopped.wait_for(kSafety), std::future_status::ready);
    EXPECT_FALSE(session_->IsConnected());
  }

  static std::unique_ptr<ChildProcess> StartServer(std::vector<std::string> options, int& port) {
    std::vector<std::string> argv{std::string(DRV_BIN_DIR) + "/drvtirval-server", "--port", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    auto server = std::make_unique<ChildProcess>(ChildProcess::Options{argv, "", {}});
    const auto line = server->ReadLine(kSafety);
    port = line ? std::stoi(line->substr(line->rfind(':') + 1)) : 0;
    return server;
  }

  static bool IsMessageLine(const std::string& line) { return line.rfind("connection ", 0) != 0; }

  SystemClock clock_;
  InlineMainThread mainThread_;
  TcpConnectionFactory connections_;
  TempDir dir_;
  const std::string settingsPath_ = dir_.File("drvtirval2000n.ini");
  Recorder recorder_;
  FakeRecordQueue records_;
  std::unique_ptr<MessageServerSession> session_;
};

TEST_F(SessionLoopbackTest, IntroducesItselfPollsAndDeliversRecords) {
  int port = 0;
  auto server = StartServer({}, port);
  ASSERT_GT(port, 0);
  StartSession(port);

  const char* const introduction[] = {
      "MsgIntroduction number=0 payload=2D 00",
      "MsgPortState number=1 payload=05 43 4F 4D 31 32 00 01",
      "MsgFirstNumber number=2 payload=04",
      "MsgVersion number=3 payload=01 00 04 00 02 00 11 00",
      "MsgPoll number=0 payload=",
  };
  for (const char* expected : introduction) {
    const auto line = server->WaitForLine(IsMessageLine, kSafety);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(*line, expected);
  }
  EXPECT_TRUE(recorder_.WaitForLineEnding(" Соединение установлено."));
  EXPECT_TRUE(session_->IsIntroduced());

  EventRecord record;
  record.ObjectNumber = 40017;
  record.SetEventCode("E130");
  const uint64_t id = records_.Add(SerializeEventRecord(record));
  session_->RecordsQueued();
  const auto event = server->WaitForLine(
      [](const std::string& line) { return line.rfind("event", 0) == 0; }, kSafety);
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->rfind("event number=4 object=40017 code=E130 ", 0), 0u) << *event;
  EXPECT_TRUE(records_.WaitForAcknowledgements(1, kSafety));
  StopAndExpectReturn();
  EXPECT_EQ(records_.Acknowledged(), std::vector<uint64_t>{id});
}

TEST_F(SessionLoopbackTest, ABacklogDrainsInOrderAsFastAsTheServerAcknowledges) {
  int port = 0;
  auto server = StartServer({}, port);
  ASSERT_GT(port, 0);
  constexpr int kRecords = 300;
  for (int i = 0; i < kRecords; ++i) {
    EventRecord record;
    record.ObjectNumber = 50000 + i;
    records_.Add(SerializeEventRecord(record));
  }
  StartSession(port);
  // The server prints each record as it reads it, before it answers.
  std::vector<int> objects;
  while (objects.empty() || objects.back() != 50000 + kRecords - 1) {
    const auto line =
        server->WaitForLine([](const std::string& l) { return l.rfind("event", 0) == 0; }, kSafety);
    if (!line) break;
    objects.push_back(std::stoi(line->substr(line->find("object=") + 7)));
  }
  // A record sent again (its answer late on a loaded machine) follows its first copy directly.
  objects.erase(std::unique(objects.begin(), objects.end()), objects.end());
  ASSERT_EQ(objects.size(), std::size_t(kRecords));
  for (int i = 0; i < kRecords; ++i) ASSERT_EQ(objects[i], 50000 + i);
  EXPECT_TRUE(records_.WaitForAcknowledgements(kRecords, kSafety));
  StopAndExpectReturn();
  EXPECT_EQ(records_.Size(), 0u);
}

// A server inside the test that sees every byte the session writes.
class RawServer {
 public:
  explicit RawServer(int backlog = 4) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listen_, backlog);
    socklen_t length = sizeof address;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~RawServer() {
    if (client_ >= 0) close(client_);
    close(listen_);
  }
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  int Port() const { return port_; }
  bool Accept() {
    pollfd ready{listen_, POLLIN, 0};
    if (poll(&ready, 1, 10000) != 1) return false;
    client_ = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    return client_ >= 0;
  }
  Bytes Receive(std::size_t count) {
    Bytes bytes(count);
    std::size_t got = 0;
    while (got < count) {
      pollfd ready{client_, POLLIN, 0};
      if (poll(&ready, 1, 10000) != 1) break;
      const ssize_t n = recv(client_, bytes.data() + got, count - got, 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
  }
  void Answer(uint32_t type) {
    const Bytes frame = BuildFrame(BuildMessage(type, 0, {}));
    ASSERT_EQ(send(client_, frame.data(), frame.size(), MSG_NOSIGNAL), ssize_t(frame.size()));
  }

 private:
  int listen_ = -1;
  int client_ = -1;
  int port_ = 0;
};

TEST_F(SessionLoopbackTest, FramesOnTheWireAreExact) {
  RawServer server;
  StartSession(server.Port());
  ASSERT_TRUE(server.Accept());
  const std::pair<uint32_t, Bytes> introduction[] = {
      {MsgIntroduction, {0x2D, 0x00}},
      {MsgPortState, {0x05, 0x43, 0x4F, 0x4D, 0x31, 0x32, 0x00, 0x01}},
      {MsgFirstNumber, {0x04}},
      {MsgVersion, {0x01, 0x00, 0x04, 0x00, 0x02, 0x00, 0x11, 0x00}},
  };
  int64_t number = 0;
  for (const auto& [type, payload] : introduction) {
    const Bytes expected = BuildFrame(BuildMessage(type, number++, payload));
    EXPECT_EQ(server.Receive(expected.size()), expected);
    server.Answer(type == MsgIntroduction ? MsgAccepted : MsgPoll);
  }
  const Bytes poll = server.Receive(39);
  EXPECT_EQ(poll, BuildFrame(BuildMessage(MsgPoll, 0, {})));
  server.Answer(MsgPoll);

  // A spooled record: the message that any spool file of the earlier version also held.
  const Bytes payload(27, 0x5A);
  records_.Add(payload);
  session_->RecordsQueued();
  const Bytes expected = BuildFrame(BuildMessage(MsgEventRecord, 4, payload));
  EXPECT_EQ(server.Receive(expected.size()), expected);
  server.Answer(MsgEventAck);
  EXPECT_TRUE(records_.WaitForAcknowledgements(1, kSafety));
  StopAndExpectReturn();
}

TEST_F(SessionLoopbackTest, StopReturnsWhileReadingFromASilentServer) {
  int port = 0;
  auto server = StartServer({"--silent"}, port);
  ASSERT_GT(port, 0);
  StartSession(port);
  ASSERT_TRUE(server->WaitForLine(
      [](const std::string& line) { return line.rfind("MsgIntroduction", 0) == 0; }, kSafety));
  StopAndExpectReturn();
}

TEST_F(SessionLoopbackTest, StopReturnsWhileConnectingToAServerThatNeverAnswers) {
  RawServer server(0);
  TcpConnection filler;  // takes the only place in the backlog: handshakes now go unanswered
  ASSERT_TRUE(filler.Connect("127.0.0.1", server.Port(), 2500));
  StartSession(server.Port());
  ASSERT_TRUE(recorder_.WaitForLineEnding(" Соединение..."));
  StopAndExpectReturn();
}

}  // namespace
}  // namespace drv
