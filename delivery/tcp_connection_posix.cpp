#include "base/deadline.h"
#include "delivery/tcp_connection.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

namespace drv {

std::vector<SocketAddress> ResolveTcpAddresses(const std::string& host, int port,
                                               bool numericOnly) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = (numericOnly ? AI_NUMERICHOST : AI_ADDRCONFIG) | AI_NUMERICSERV;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0) return {};
  std::vector<SocketAddress> addresses;
  for (const addrinfo* item = list; item != nullptr; item = item->ai_next) {
    if (item->ai_addrlen > sizeof(sockaddr_storage)) continue;
    const auto* bytes = reinterpret_cast<const uint8_t*>(item->ai_addr);
    addresses.push_back({item->ai_family, {bytes, bytes + item->ai_addrlen}});
  }
  freeaddrinfo(list);
  return addresses;
}

struct TcpConnection::Socket {
  Socket() : abortEvent(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Socket() {
    Close();
    if (abortEvent >= 0) close(abortEvent);
  }

  void Close() {
    if (fd >= 0) {
      close(fd);
      fd = -1;
    }
  }

  // Waits for `events` on the socket; 1 ready, 0 time-out, -1 aborted or failed.
  int WaitFor(short events, int timeoutMs) {
    const Deadline deadline(timeoutMs);
    for (;;) {
      if (aborted) return -1;
      pollfd fds[2] = {{fd, events, 0}, {abortEvent, POLLIN, 0}};
      const int ready = poll(fds, 2, deadline.RemainingMs());
      if (ready < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (fds[1].revents != 0 || aborted) return -1;
      if (fds[0].revents != 0) return 1;
      if (ready == 0) return 0;
    }
  }

  bool ConnectTo(const SocketAddress& address, int timeoutMs) {
    sockaddr_storage storage{};
    if (address.bytes.size() > sizeof storage) return false;
    std::memcpy(&storage, address.bytes.data(), address.bytes.size());
    fd = socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int result = connect(fd, reinterpret_cast<const sockaddr*>(&storage),
                         static_cast<socklen_t>(address.bytes.size()));
    if (result < 0 && (errno == EINPROGRESS || errno == EINTR)) {
      if (WaitFor(POLLOUT, timeoutMs) == 1) {
        int error = 0;
        socklen_t length = sizeof error;
        result =
            (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) ? 0 : -1;
      }
    }
    if (result != 0) {
      Close();
      return false;
    }
    // Frames go out whole and each waits for its answer: no point in holding small ones back.
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
  }

  int fd = -1;
  int abortEvent = -1;
  std::atomic<bool> aborted{false};
};

TcpConnection::TcpConnection() : socket_(std::make_unique<Socket>()) {}

TcpConnection::~TcpConnection() = default;

bool TcpConnection::SocketUsable() const {
  return !socket_->aborted;
}

bool TcpConnection::ConnectSocket(const SocketAddress& address, int timeoutMs) {
  return socket_->ConnectTo(address, timeoutMs);
}

void TcpConnection::AbortSocket() {
  socket_->aborted = true;
  if (socket_->abortEvent >= 0) {
    const uint64_t one = 1;
    (void)!write(socket_->abortEvent, &one, sizeof one);
  }
}

void TcpConnection::Close() {
  socket_->Close();
}

bool TcpConnection::IsConnected() const {
  return socket_->fd >= 0;
}

bool TcpConnection::Write(std::span<const uint8_t> bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    if (socket_->aborted || socket_->fd < 0) return false;
    const ssize_t n =
        send(socket_->fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (socket_->WaitFor(POLLOUT, kWriteStallTimeoutMs) != 1) return false;
    } else {
      return false;
    }
  }
  return true;
}

int TcpConnection::ReadSome(uint8_t* buffer, std::size_t size, int idleTimeoutMs) {
  if (socket_->aborted || socket_->fd < 0) return -1;
  if (size == 0) return 0;
  size = std::min<std::size_t>(size, static_cast<std::size_t>(std::numeric_limits<int>::max()));
  const Deadline deadline(idleTimeoutMs);
  for (;;) {
    const int ready = socket_->WaitFor(POLLIN, deadline.RemainingMs());
    if (ready == 0) return 0;
    if (ready < 0) return -1;
    const ssize_t n = recv(socket_->fd, buffer, size, MSG_DONTWAIT);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    // End of stream or a broken connection: the socket is of no further use.
    Close();
    return -1;
  }
}

}  // namespace drv
