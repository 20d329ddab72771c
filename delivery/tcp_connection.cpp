#include "delivery/tcp_connection.h"

#include <chrono>

namespace drv {

namespace {

using SteadyClock = std::chrono::steady_clock;

int RemainingMs(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

bool TcpConnection::Connect(const std::string& host, int port, int timeoutMs) {
  Close();
  if (!SocketUsable() || port < 0 || port > 65535 || timeoutMs < 0) return false;
  const SteadyClock::time_point deadline =
      SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (const SocketAddress& address : lookup_.Resolve(host, port, deadline)) {
    const int left = RemainingMs(deadline);
    if (left <= 0 || !SocketUsable()) return false;
    if (ConnectSocket(address, left)) return true;
  }
  return false;
}

void TcpConnection::Abort() {
  AbortSocket();
  lookup_.Cancel();
}

std::unique_ptr<IConnection> TcpConnectionFactory::Create() {
  return std::make_unique<TcpConnection>();
}

}  // namespace drv
