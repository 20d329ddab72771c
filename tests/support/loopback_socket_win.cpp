#include <winsock2.h>
#include <ws2tcpip.h>

#include "tests/support/loopback_socket.h"

namespace drv::testing {
namespace {

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

// Waits until the socket is readable (data, a connection, or its end); false on time-out.
bool WaitReadable(SOCKET socket, int timeoutMs) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval timeout{timeoutMs / 1000, timeoutMs % 1000 * 1000};
  return select(0, &readable, nullptr, nullptr, &timeout) == 1;
}

}  // namespace

struct LoopbackPeer::Socket {
  ~Socket() {
    if (handle != INVALID_SOCKET) closesocket(handle);
  }
  SOCKET handle = INVALID_SOCKET;
};

LoopbackPeer::LoopbackPeer() : socket_(std::make_unique<Socket>()) {}
LoopbackPeer::~LoopbackPeer() = default;

bool LoopbackPeer::Valid() const {
  return socket_ && socket_->handle != INVALID_SOCKET;
}

std::vector<uint8_t> LoopbackPeer::ReceiveExactly(std::size_t count, int timeoutMs) {
  std::vector<uint8_t> bytes(count);
  std::size_t got = 0;
  while (got < count) {
    if (!WaitReadable(socket_->handle, timeoutMs)) break;
    const int n = recv(socket_->handle, reinterpret_cast<char*>(bytes.data() + got),
                       static_cast<int>(count - got), 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

bool LoopbackPeer::Send(std::string_view bytes) {
  return send(socket_->handle, bytes.data(), static_cast<int>(bytes.size()), 0) ==
         static_cast<int>(bytes.size());
}

void LoopbackPeer::Shutdown() {
  shutdown(socket_->handle, SD_BOTH);
}

void LoopbackPeer::Close() {
  if (socket_->handle != INVALID_SOCKET) closesocket(socket_->handle);
  socket_->handle = INVALID_SOCKET;
}

struct LoopbackListener::Socket {
  SOCKET handle = INVALID_SOCKET;
  int port = 0;
};

LoopbackListener::LoopbackListener(int backlog) : socket_(std::make_unique<Socket>()) {
  if (!StartWinsock()) return;
  socket_->handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(socket_->handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(socket_->handle, backlog);
  int length = sizeof address;
  getsockname(socket_->handle, reinterpret_cast<sockaddr*>(&address), &length);
  socket_->port = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
  CloseListening();
}

int LoopbackListener::Port() const {
  return socket_->port;
}

void LoopbackListener::CloseListening() {
  if (socket_->handle != INVALID_SOCKET) closesocket(socket_->handle);
  socket_->handle = INVALID_SOCKET;
}

LoopbackPeer* LoopbackListener::Accept(int timeoutMs) {
  if (!WaitReadable(socket_->handle, timeoutMs)) return nullptr;
  auto peer = std::make_unique<LoopbackPeer>();
  peer->socket_->handle = accept(socket_->handle, nullptr, nullptr);
  if (!peer->Valid()) return nullptr;
  accepted_.push_back(std::move(peer));
  return accepted_.back().get();
}

}  // namespace drv::testing
