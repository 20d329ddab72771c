#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "tools/server/server_net.h"

namespace drv::server {
namespace {

// A signal writes a byte that nobody reads: the pipe stays readable, so every later wait ends at
// once too.
int g_stopPipe[2] = {-1, -1};

void OnSignal(int) {
  const int saved = errno;
  const char byte = 1;
  (void)!write(g_stopPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

bool InstallStopHandlers() {
  if (pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return true;
}

bool WaitForStop(int milliseconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          until - std::chrono::steady_clock::now())
                          .count();
    pollfd stop{g_stopPipe[0], POLLIN, 0};
    const int ready = poll(&stop, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

Client::~Client() {
  Close();
}

Client::Client(Client&& other) noexcept : socket_(std::exchange(other.socket_, kNoSocket)) {}

Client& Client::operator=(Client&& other) noexcept {
  if (this != &other) {
    Close();
    socket_ = std::exchange(other.socket_, kNoSocket);
  }
  return *this;
}

void Client::Close() {
  if (socket_ != kNoSocket) close(static_cast<int>(std::exchange(socket_, kNoSocket)));
}

std::size_t Client::Receive(uint8_t* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = recv(static_cast<int>(socket_), buffer, size, 0);
    if (n < 0 && errno == EINTR) continue;
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }
}

bool Client::SendAll(std::span<const uint8_t> bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n =
        send(static_cast<int>(socket_), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

struct Listener::Impl {
  int fd = -1;
  int port = 0;
};

Listener::Listener() : impl_(std::make_unique<Impl>()) {}

Listener::~Listener() {
  if (impl_->fd >= 0) close(impl_->fd);
}

bool Listener::Listen(int port, std::string& error) {
  impl_->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(impl_->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (impl_->fd < 0 ||
      bind(impl_->fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(impl_->fd, 4) != 0) {
    error = std::strerror(errno);
    return false;
  }
  socklen_t length = sizeof address;
  getsockname(impl_->fd, reinterpret_cast<sockaddr*>(&address), &length);
  impl_->port = ntohs(address.sin_port);
  return true;
}

int Listener::Port() const {
  return impl_->port;
}

Listener::Ready Listener::Wait(const Client& client, int timeoutMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
              .count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd fds[3] = {{g_stopPipe[0], POLLIN, 0},
                     {impl_->fd, POLLIN, 0},
                     {static_cast<int>(client.Socket()), POLLIN, 0}};
    const int ready = poll(fds, client.IsOpen() ? 3 : 2, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Ready::kFailed;
    }
    if (ready == 0) return Ready::kTimedOut;
    if (fds[0].revents != 0) return Ready::kStop;
    if ((fds[1].revents & POLLIN) != 0) return Ready::kConnection;
    if (client.IsOpen() && fds[2].revents != 0) return Ready::kClientInput;
  }
}

Client Listener::Accept() {
  const int fd = accept4(impl_->fd, nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? Client() : Client(fd);
}

}  // namespace drv::server
