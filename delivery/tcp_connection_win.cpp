#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come before windows.h.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <vector>

#include "base/deadline.h"
#include "delivery/tcp_connection.h"

namespace drv {

namespace {

// Winsock is started once for the process and never stopped: connections may be made until the
// very end.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

}  // namespace

std::vector<SocketAddress> ResolveTcpAddresses(const std::string& host, int port,
                                               bool numericOnly) {
  if (!StartWinsock()) return {};
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
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

// The socket is non-blocking (WSAEventSelect makes it so) and reports its network events to
// `socketEvent`; every wait is for that event or the abort event.
struct TcpConnection::Socket {
  Socket()
      : started(StartWinsock()),
        socketEvent(WSACreateEvent()),
        abortEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Socket() {
    Close();
    if (socketEvent != WSA_INVALID_EVENT) WSACloseEvent(socketEvent);
    if (abortEvent != nullptr) CloseHandle(abortEvent);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool Usable() const {
    return started && socketEvent != WSA_INVALID_EVENT && abortEvent != nullptr && !aborted;
  }

  void Close() {
    if (handle != INVALID_SOCKET) {
      closesocket(handle);
      handle = INVALID_SOCKET;
    }
  }

  // Waits for the socket's next network event; 1 an event came (its bits in *events), 0 time-out,
  // -1 aborted or failed.
  int Wait(DWORD timeoutMs, WSANETWORKEVENTS* events) {
    if (aborted) return -1;
    const HANDLE handles[2] = {abortEvent, socketEvent};
    const DWORD woken = WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
    if (woken == WAIT_TIMEOUT) return 0;
    if (woken != WAIT_OBJECT_0 + 1 || aborted) return -1;
    // Also resets the event.
    if (WSAEnumNetworkEvents(handle, socketEvent, events) != 0) return -1;
    return 1;
  }

  bool ConnectTo(const SocketAddress& address, DWORD timeoutMs) {
    sockaddr_storage storage{};
    if (address.bytes.size() > sizeof storage) return false;
    std::memcpy(&storage, address.bytes.data(), address.bytes.size());
    handle = socket(address.family, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) return false;
    bool connected = false;
    if (WSAEventSelect(handle, socketEvent, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) == 0) {
      if (connect(handle, reinterpret_cast<const sockaddr*>(&storage),
                  static_cast<int>(address.bytes.size())) == 0) {
        connected = true;
      } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
        const Deadline deadline(timeoutMs);
        for (;;) {
          WSANETWORKEVENTS events{};
          if (Wait(deadline.RemainingMs(), &events) != 1) break;
          if ((events.lNetworkEvents & FD_CONNECT) != 0) {
            connected = events.iErrorCode[FD_CONNECT_BIT] == 0;
            break;
          }
        }
      }
    }
    if (!connected) {
      Close();
      return false;
    }
    // Frames go out whole and each waits for its answer: no point in holding small ones back.
    const BOOL on = TRUE;
    (void)setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                     sizeof on);
    return true;
  }

  bool started;
  SOCKET handle = INVALID_SOCKET;
  WSAEVENT socketEvent;
  HANDLE abortEvent;
  std::atomic<bool> aborted{false};
};

TcpConnection::TcpConnection() : socket_(std::make_unique<Socket>()) {}

TcpConnection::~TcpConnection() = default;

bool TcpConnection::SocketUsable() const {
  return socket_->Usable();
}

bool TcpConnection::ConnectSocket(const SocketAddress& address, int timeoutMs) {
  return socket_->ConnectTo(address, static_cast<DWORD>(timeoutMs));
}

void TcpConnection::AbortSocket() {
  socket_->aborted = true;
  if (socket_->abortEvent != nullptr) SetEvent(socket_->abortEvent);
}

void TcpConnection::Close() {
  socket_->Close();
}

bool TcpConnection::IsConnected() const {
  return socket_->handle != INVALID_SOCKET;
}

bool TcpConnection::Write(std::span<const uint8_t> bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    if (socket_->aborted || socket_->handle == INVALID_SOCKET) return false;
    const int chunk = static_cast<int>(
        std::min<std::size_t>(bytes.size() - sent, std::numeric_limits<int>::max()));
    const int n =
        send(socket_->handle, reinterpret_cast<const char*>(bytes.data() + sent), chunk, 0);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
      // FD_WRITE comes once the send buffer has room again after this refusal.
      const Deadline deadline(kWriteStallTimeoutMs);
      bool room = false;
      while (!room) {
        WSANETWORKEVENTS events{};
        if (socket_->Wait(deadline.RemainingMs(), &events) != 1) return false;
        if ((events.lNetworkEvents & FD_CLOSE) != 0) return false;
        room = (events.lNetworkEvents & FD_WRITE) != 0;
      }
      continue;
    }
    return false;
  }
  return true;
}

int TcpConnection::ReadSome(uint8_t* buffer, std::size_t size, int idleTimeoutMs) {
  if (socket_->aborted || socket_->handle == INVALID_SOCKET) return -1;
  if (size == 0) return 0;
  const int wanted = static_cast<int>(std::min<std::size_t>(size, std::numeric_limits<int>::max()));
  const Deadline deadline(idleTimeoutMs);
  for (;;) {
    if (socket_->aborted) return -1;
    const int n = recv(socket_->handle, reinterpret_cast<char*>(buffer), wanted, 0);
    if (n > 0) return n;
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
      // A recv that finds nothing re-arms FD_READ: the event is set once data comes.
      WSANETWORKEVENTS events{};
      const int woken = socket_->Wait(deadline.RemainingMs(), &events);
      if (woken == 0) return 0;
      if (woken < 0) return -1;
      continue;
    }
    // End of stream or a broken connection: the socket is of no further use.
    Close();
    return -1;
  }
}

}  // namespace drv
