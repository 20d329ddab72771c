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
#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace drv {

namespace {

using SteadyClock = std::chrono::steady_clock;

int RemainingMs(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

struct Address {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family = AF_UNSPEC;
};

std::vector<Address> CopyAddresses(const addrinfo* list) {
  std::vector<Address> addresses;
  for (const addrinfo* item = list; item != nullptr; item = item->ai_next) {
    if (item->ai_addrlen > sizeof(sockaddr_storage)) continue;
    Address address;
    std::memcpy(&address.storage, item->ai_addr, item->ai_addrlen);
    address.length = item->ai_addrlen;
    address.family = item->ai_family;
    addresses.push_back(address);
  }
  return addresses;
}

// A name lookup on a thread of its own, so that a slow resolver cannot hold the caller past its
// time-out or past Abort(). A lookup given up on finishes alone and frees its state.
struct Lookup {
  std::mutex mutex;
  std::vector<Address> addresses;
  int doneEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ~Lookup() {
    if (doneEvent >= 0) close(doneEvent);
  }
};

addrinfo StreamHints(int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags | AI_NUMERICSERV;
  return hints;
}

}  // namespace

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
    const SteadyClock::time_point deadline =
        SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (aborted) return -1;
      pollfd fds[2] = {{fd, events, 0}, {abortEvent, POLLIN, 0}};
      const int ready = poll(fds, 2, RemainingMs(deadline));
      if (ready < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (fds[1].revents != 0 || aborted) return -1;
      if (fds[0].revents != 0) return 1;
      if (ready == 0) return 0;
    }
  }

  bool ConnectTo(const Address& address, int timeoutMs) {
    fd = socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int result = connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length);
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

void TcpConnection::Abort() {
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

bool TcpConnection::Connect(const std::string& host, int port, int timeoutMs) {
  Close();
  if (socket_->aborted || port < 0 || port > 65535) return false;
  const SteadyClock::time_point deadline =
      SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  const std::string service = std::to_string(port);

  std::vector<Address> addresses;
  const addrinfo numericHints = StreamHints(AI_NUMERICHOST);
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), service.c_str(), &numericHints, &list) == 0) {
    addresses = CopyAddresses(list);
    freeaddrinfo(list);
  } else {
    auto lookup = std::make_shared<Lookup>();
    if (lookup->doneEvent < 0) return false;
    std::thread([lookup, host, service] {
      const addrinfo hints = StreamHints(AI_ADDRCONFIG);
      addrinfo* found = nullptr;
      std::vector<Address> copied;
      if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) == 0) {
        copied = CopyAddresses(found);
        freeaddrinfo(found);
      }
      std::lock_guard lock(lookup->mutex);
      lookup->addresses = std::move(copied);
      const uint64_t one = 1;
      (void)!write(lookup->doneEvent, &one, sizeof one);
    }).detach();
    for (;;) {
      pollfd fds[2] = {{lookup->doneEvent, POLLIN, 0}, {socket_->abortEvent, POLLIN, 0}};
      const int ready = poll(fds, 2, RemainingMs(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0 || fds[1].revents != 0 || socket_->aborted) return false;
      break;
    }
    std::lock_guard lock(lookup->mutex);
    addresses = std::move(lookup->addresses);
  }

  for (const Address& address : addresses) {
    const int left = RemainingMs(deadline);
    if (left <= 0 || socket_->aborted) return false;
    if (socket_->ConnectTo(address, left)) return true;
  }
  return false;
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
  const SteadyClock::time_point deadline =
      SteadyClock::now() + std::chrono::milliseconds(idleTimeoutMs);
  for (;;) {
    const int ready = socket_->WaitFor(POLLIN, RemainingMs(deadline));
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

std::unique_ptr<IConnection> TcpConnectionFactory::Create() {
  return std::make_unique<TcpConnection>();
}

}  // namespace drv
