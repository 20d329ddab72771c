#include "delivery/tcp_connection.h"

#include "base/deadline.h"

namespace drv {

bool TcpConnection::Connect(const std::string& host, int port, int timeoutMs) {
  Close();
  if (!SocketUsable() || port < 0 || port > 65535 || timeoutMs < 0) return false;
  const Deadline deadline(timeoutMs);
  for (const SocketAddress& address : lookup_.Resolve(host, port, deadline.At())) {
    const int left = deadline.RemainingMs();
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
