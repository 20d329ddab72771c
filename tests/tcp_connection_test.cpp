#include "delivery/tcp_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "tests/support/loopback_socket.h"

namespace drv {
namespace {

using Bytes = std::vector<uint8_t>;
using Listener = testing::LoopbackListener;
constexpr auto kSafetyBound = std::chrono::seconds(10);

TEST(TcpConnectionTest, TalksToAServerAndNoticesItsEnd) {
  Listener listener;
  TcpConnection connection;
  ASSERT_TRUE(connection.Connect("127.0.0.1", listener.Port(), 2500));
  EXPECT_TRUE(connection.IsConnected());
  testing::LoopbackPeer* peer = listener.Accept();
  ASSERT_NE(peer, nullptr);

  const Bytes sent{0xFF, 0x00, 0x01, 0xFE};
  ASSERT_TRUE(connection.Write(sent));
  EXPECT_EQ(peer->ReceiveExactly(sent.size()), sent);

  uint8_t buffer[16] = {};
  EXPECT_EQ(connection.ReadSome(buffer, sizeof buffer, 20), 0);  // nothing yet: time-out
  ASSERT_TRUE(peer->Send("abcdef"));
  EXPECT_EQ(connection.ReadSome(buffer, 4, 10000), 4);
  EXPECT_EQ(connection.ReadSome(buffer + 4, sizeof buffer, 10000), 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 6), "abcdef");

  peer->Shutdown();
  EXPECT_EQ(connection.ReadSome(buffer, sizeof buffer, 10000), -1);
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_FALSE(connection.Write(sent));
}

TEST(TcpConnectionTest, ResolvesHostNames) {
  Listener listener;
  TcpConnection connection;
  EXPECT_TRUE(connection.Connect("localhost", listener.Port(), 2500));
  connection.Close();
  EXPECT_FALSE(connection.IsConnected());
}

TEST(TcpConnectionTest, FailedConnects) {
  Listener closed;
  closed.CloseListening();
  Listener silent(0);
  TcpConnection filler;  // fills the backlog: the next handshake gets no answer
  ASSERT_TRUE(filler.Connect("127.0.0.1", silent.Port(), 2500));

  struct Case {
    const char* name;
    std::string host;
    int port;
    int timeoutMs;
  };
  const Case cases[] = {
      {"refused", "127.0.0.1", closed.Port(), 2500},
      {"unknown name", "no-such-host.invalid", 12543, 2500},
      {"empty host", "", 12543, 2500},
      {"port out of range", "127.0.0.1", 70000, 2500},
      {"no answer within the time-out", "127.0.0.1", silent.Port(), 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TcpConnection connection;
    EXPECT_FALSE(connection.Connect(c.host, c.port, c.timeoutMs));
    EXPECT_FALSE(connection.IsConnected());
  }
}

TEST(TcpConnectionTest, WritingToAClosedPeerFailsWithoutASignal) {
  Listener listener;
  TcpConnection connection;
  ASSERT_TRUE(connection.Connect("127.0.0.1", listener.Port(), 2500));
  testing::LoopbackPeer* peer = listener.Accept();
  ASSERT_NE(peer, nullptr);
  peer->Close();
  const Bytes chunk(1024, 0x55);
  bool failed = false;
  const auto bound = std::chrono::steady_clock::now() + kSafetyBound;
  while (!failed && std::chrono::steady_clock::now() < bound) {
    failed = !connection.Write(chunk);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(failed);
}

// Every blocking call returns once another thread aborts the connection.
TEST(TcpConnectionTest, AbortWakesEveryWait) {
  Listener listener;
  Listener silent(0);
  TcpConnection filler;
  ASSERT_TRUE(filler.Connect("127.0.0.1", silent.Port(), 2500));

  struct Case {
    const char* name;
    std::function<bool(TcpConnection&)> blockingCall;  // true when the call failed
  };
  const Case cases[] = {{"read",
                         [&](TcpConnection& c) {
                           uint8_t buffer[8];
                           return c.ReadSome(buffer, sizeof buffer, 600000) < 0;
                         }},
                        {"write to a peer that does not read",
                         [&](TcpConnection& c) {
                           const Bytes chunk(1 << 20, 0xAA);
                           for (int i = 0; i < 1024; ++i) {
                             if (!c.Write(chunk)) return true;
                           }
                           return false;
                         }},
                        {"connect", [&](TcpConnection& c) {
                           c.Close();
                           return !c.Connect("127.0.0.1", silent.Port(), 600000);
                         }}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TcpConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", listener.Port(), 2500));
    ASSERT_NE(listener.Accept(), nullptr);
    auto call = std::async(std::launch::async, [&] { return c.blockingCall(connection); });
    EXPECT_EQ(call.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    connection.Abort();
    ASSERT_EQ(call.wait_for(kSafetyBound), std::future_status::ready);
    EXPECT_TRUE(call.get());
    EXPECT_FALSE(connection.Connect("127.0.0.1", listener.Port(), 2500));  // stays aborted
  }
}

TEST(TcpConnectionTest, FactoryMakesIndependentConnections) {
  Listener listener;
  TcpConnectionFactory factory;
  auto first = factory.Create();
  auto second = factory.Create();
  ASSERT_TRUE(first->Connect("127.0.0.1", listener.Port(), 2500));
  first->Abort();
  EXPECT_TRUE(second->Connect("127.0.0.1", listener.Port(), 2500));
}

}  // namespace
}  // namespace drv
