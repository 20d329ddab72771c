#include "delivery/address_lookup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace drv {
namespace {

using namespace std::chrono_literals;
using Addresses = std::vector<SocketAddress>;
using SteadyClock = std::chrono::steady_clock;
constexpr auto kSafetyBound = 10s;

const SocketAddress kFirst{2, {0x00, 0x02, 0x30, 0x2F, 203, 0, 113, 7}};
const SocketAddress kSecond{10, {0x00, 0x0A, 0x30, 0x2F, 0x20, 0x01, 0x0D, 0xB8}};

bool WaitUntil(const std::function<bool()>& done) {
  const auto bound = SteadyClock::now() + kSafetyBound;
  while (!done() && SteadyClock::now() < bound) std::this_thread::sleep_for(1ms);
  return done();
}

TEST(AddressLookupTest, TakesAnAddressAtOnceAndAsksForANameOnAnotherThread) {
  struct Case {
    const char* name;
    Addresses asWritten;  // what the resolver makes of the host as an address
    Addresses byName;     // what the name server answers
    Addresses expected;
    bool nameServerAsked;
  };
  const Case cases[] = {
      {"an address", {kFirst}, {kSecond}, {kFirst}, false},
      {"a name", {}, {kFirst, kSecond}, {kFirst, kSecond}, true},
      {"an unknown name", {}, {}, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mutex mutex;
    std::vector<std::string> asked;  // host, port and how, in order
    std::optional<std::thread::id> nameServerAskedOn;
    AddressLookup lookup([&](const std::string& host, int port, bool numericOnly) {
      std::lock_guard lock(mutex);
      asked.push_back(host + ":" + std::to_string(port) +
                      (numericOnly ? " as written" : " by name"));
      if (numericOnly) return c.asWritten;
      nameServerAskedOn = std::this_thread::get_id();
      return c.byName;
    });

    EXPECT_EQ(lookup.Resolve("server.example", 12543, SteadyClock::now() + kSafetyBound),
              c.expected);

    std::lock_guard lock(mutex);
    std::vector<std::string> expectedAsks = {"server.example:12543 as written"};
    if (c.nameServerAsked) expectedAsks.push_back("server.example:12543 by name");
    EXPECT_EQ(asked, expectedAsks);
    if (nameServerAskedOn) {
      EXPECT_NE(*nameServerAskedOn, std::this_thread::get_id());
    }
  }
}

// A name server that answers only when the test releases it.
struct SlowNameServer {
  void Answer() {
    std::unique_lock lock(mutex);
    asked = true;
    changed.notify_all();
    changed.wait(lock, [&] { return released; });
  }
  void WaitUntilAsked() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return asked; });
  }
  void Release() {
    std::lock_guard lock(mutex);
    released = true;
    changed.notify_all();
  }

  std::mutex mutex;
  std::condition_variable changed;
  bool asked = false;
  bool released = false;
};

// The caller gets none at once, and the lookup's thread ends cleanly when the answer comes later,
// after the AddressLookup has gone.
TEST(AddressLookupTest, GivesUpOnASlowNameServer) {
  struct Case {
    const char* name;
    std::chrono::milliseconds deadline;
    bool cancel;
  };
  const Case cases[] = {{"its deadline passes", 20ms, false},
                        {"cancelled from another thread", 60s, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = std::make_shared<SlowNameServer>();
    auto lookup = std::make_unique<AddressLookup>([server](const std::string&, int, bool numeric) {
      if (numeric) return Addresses{};
      server->Answer();
      return Addresses{kFirst};
    });

    auto resolving = std::async(std::launch::async, [&] {
      return lookup->Resolve("slow.example", 12543, SteadyClock::now() + c.deadline);
    });
    server->WaitUntilAsked();
    if (c.cancel) lookup->Cancel();
    ASSERT_EQ(resolving.wait_for(kSafetyBound), std::future_status::ready);
    EXPECT_EQ(resolving.get(), Addresses{});

    lookup.reset();
    server->Release();
    const std::weak_ptr<SlowNameServer> heldByTheThread = server;
    server.reset();
    EXPECT_TRUE(WaitUntil([&] { return heldByTheThread.expired(); }));
  }
}

TEST(AddressLookupTest, ACancelledLookupResolvesNothingMore) {
  int calls = 0;
  AddressLookup lookup([&](const std::string&, int, bool) {
    ++calls;
    return Addresses{kFirst};
  });
  lookup.Cancel();
  EXPECT_EQ(lookup.Resolve("203.0.113.7", 12543, SteadyClock::now() + kSafetyBound), Addresses{});
  EXPECT_EQ(calls, 0);
}

TEST(AddressLookupTest, TheSystemResolverLeavesNamesAloneWhenAskedForAddressesOnly) {
  EXPECT_FALSE(ResolveTcpAddresses("127.0.0.1", 12543, /*numericOnly=*/true).empty());
  EXPECT_TRUE(ResolveTcpAddresses("localhost", 12543, /*numericOnly=*/true).empty());
  EXPECT_FALSE(ResolveTcpAddresses("localhost", 12543, /*numericOnly=*/false).empty());
}

}  // namespace
}  // namespace drv
