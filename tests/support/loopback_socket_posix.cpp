#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/loopback_socket.h"

namespace drv::testing {

struct LoopbackPeer::Socket {
  ~Socket() {
    if (fd >= 0) close(fd);
  }
  int fd = -1;
};

LoopbackPeer::LoopbackPeer() : socket_(std::make_unique<Socket>()) {}
LoopbackPeer::~LoopbackPeer() = default;

bool LoopbackPeer::Valid() const {
  return socket_ && socket_->fd >= 0;
}

std::vector<uint8_t> LoopbackPeer::ReceiveExactly(std::size_t count, int timeoutMs) {
  std::vector<uint8_t> bytes(count);
  std::size_t got = 0;
  while (got < count) {
    pollfd ready{socket_->fd, POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) != 1) break;
    const ssize_t n = recv(socket_->fd, bytes.data() + got, count - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

bool LoopbackPeer::Send(std::string_view bytes) {
  return send(socket_->fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(bytes.size());
}

void LoopbackPeer::Shutdown() {
  shutdown(socket_->fd, SHUT_RDWR);
}

void LoopbackPeer::Close() {
  if (socket_->fd >= 0) close(socket_->fd);
  socket_->fd = -1;
}

struct LoopbackListener::Socket {
  int fd = -1;
  int port = 0;
};

LoopbackListener::LoopbackListener(int backlog) : socket_(std::make_unique<Socket>()) {
  socket_->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(socket_->fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(socket_->fd, backlog);
  socklen_t length = sizeof address;
  getsockname(socket_->fd, reinterpret_cast<sockaddr*>(&address), &length);
  socket_->port = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
  CloseListening();
}

int LoopbackListener::Port() const {
  return socket_->port;
}

void LoopbackListener::CloseListening() {
  if (socket_->fd >= 0) close(socket_->fd);
  socket_->fd = -1;
}

LoopbackPeer* LoopbackListener::Accept(int timeoutMs) {
  pollfd ready{socket_->fd, POLLIN, 0};
  if (poll(&ready, 1, timeoutMs) != 1) return nullptr;
  auto peer = std::make_unique<LoopbackPeer>();
  peer->socket_->fd = accept4(socket_->fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (!peer->Valid()) return nullptr;
  accepted_.push_back(std::move(peer));
  return accepted_.back().get();
}

}  // namespace drv::testing
