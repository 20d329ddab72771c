#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace drv {

// One address a host resolved to, as the system's socket calls take it.
struct SocketAddress {
  int family = 0;
  std::vector<uint8_t> bytes;  // a socket address of that family

  bool operator==(const SocketAddress&) const = default;
};

// Asks the system for the TCP addresses of `host` at `port`, in the system's order of preference;
// `numericOnly` takes only an address written as such and never asks a name server. Blocks as long
// as the system's resolver does. Defined beside the platform's TCP connection.
std::vector<SocketAddress> ResolveTcpAddresses(const std::string& host, int port, bool numericOnly);

using Resolver =
    std::function<std::vector<SocketAddress>(const std::string& host, int port, bool numericOnly)>;

// Resolves the host of a connect that is bounded in time. An address written as such is taken at
// once; a name is looked up on a thread of its own, so that a slow name server cannot hold the
// caller past its deadline or past Cancel(). A lookup given up on finishes alone and frees what
// it holds, even after its AddressLookup has gone.
class AddressLookup {
 public:
  explicit AddressLookup(Resolver resolver = ResolveTcpAddresses);
  ~AddressLookup();
  AddressLookup(const AddressLookup&) = delete;
  AddressLookup& operator=(const AddressLookup&) = delete;

  // None when the host is unknown, when the deadline comes first, or once Cancel() was called.
  std::vector<SocketAddress> Resolve(const std::string& host, int port,
                                     std::chrono::steady_clock::time_point deadline);

  // Callable from any thread: ends a Resolve that waits at once and every later one.
  void Cancel();

 private:
  struct Shared;  // what the lookup threads share with the caller

  Resolver resolver_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace drv
