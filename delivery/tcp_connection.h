#pragma once

#include <memory>
#include <string>

#include "delivery/address_lookup.h"
#include "delivery/connection.h"

namespace drv {

// A TCP client over the system's sockets. The host is resolved here (AddressLookup); the socket
// calls are the platform's. Every wait on the socket also watches an abort signal of the
// connection's own (an eventfd on POSIX systems, an event object on Windows), so that Abort() from
// another thread ends it at once; after Abort() every call fails.
class TcpConnection final : public IConnection {
 public:
  TcpConnection();
  ~TcpConnection() override;
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  bool Connect(const std::string& host, int port, int timeoutMs) override;
  bool Write(std::span<const uint8_t> bytes) override;
  int ReadSome(uint8_t* buffer, std::size_t size, int idleTimeoutMs) override;
  void Close() override;
  bool IsConnected() const override;
  void Abort() override;

  // A write that makes no progress for this long fails (the server stopped reading).
  static constexpr int kWriteStallTimeoutMs = 5000;

 private:
  // The platform's socket and abort signal, with the part of Connect and Abort that needs them.
  struct Socket;
  bool SocketUsable() const;
  bool ConnectSocket(const SocketAddress& address, int timeoutMs);
  void AbortSocket();

  std::unique_ptr<Socket> socket_;
  AddressLookup lookup_;
};

class TcpConnectionFactory final : public IConnectionFactory {
 public:
  std::unique_ptr<IConnection> Create() override;
};

}  // namespace drv
