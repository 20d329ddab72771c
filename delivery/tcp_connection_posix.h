#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "delivery/connection.h"

namespace drv {

// A TCP client over POSIX sockets. Every wait is a poll() that also watches an eventfd, so that
// Abort() from another thread ends it at once; after Abort() every call fails.
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
  bool IsConnected() const override { return socket_ >= 0; }
  void Abort() override;

  // A write that makes no progress for this long fails (the server stopped reading).
  static constexpr int kWriteStallTimeoutMs = 5000;

 private:
  // Waits for `events` on the socket; 1 ready, 0 time-out, -1 aborted or failed.
  int WaitFor(short events, int timeoutMs);
  bool ConnectTo(const void* address, unsigned addressLength, int family, int timeoutMs);

  int socket_ = -1;
  int abortEvent_ = -1;
  std::atomic<bool> aborted_{false};
};

class TcpConnectionFactory final : public IConnectionFactory {
 public:
  std::unique_ptr<IConnection> Create() override;
};

}  // namespace drv
