#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come before windows.h.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "delivery/tcp_connection.h"

namespace drv {

namespace {

using SteadyClock = std::chrono::steady_clock;

DWORD RemainingMs(SteadyClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<DWORD>(left) : 0;
}

// Winsock is started once for the process and never stopped: connections may be made until the
// very end.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

struct Address {
  sockaddr_storage storage{};
  int length = 0;
  int family = AF_UNSPEC;
};

std::vector<Address> CopyAddresses(const addrinfo* list) {
  std::vector<Address> addresses;
  for (const addrinfo* item = list; item != nullptr; item = item->ai_next) {
    if (item->ai_addrlen > sizeof(sockaddr_storage)) continue;
    Address address;
    std::memcpy(&address.storage, item->ai_addr, item->ai_addrlen);
    address.length = static_cast<int>(item->ai_addrlen);
    address.family = item->ai_family;
    addresses.push_back(address);
  }
  return addresses;
}

addrinfo StreamHints(int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = flags | AI_NUMERICSERV;
  return hints;
}

// A name lookup on a thread of its own, so that a slow resolver cannot hold the caller past its
// time-out or past Abort(). A lookup given up on finishes alone and frees its state.
struct Lookup {
  Lookup() : done(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Lookup() {
    if (done != nullptr) CloseHandle(done);
  }
  Lookup(const Lookup&) = delete;
  Lookup& operator=(const Lookup&) = delete;

  std::mutex mutex;
  std::vector<Address> addresses;
  HANDLE done;
};

}  // namespace

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

  bool ConnectTo(const Address& address, DWORD timeoutMs) {
    handle = socket(address.family, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) return false;
    bool connected = false;
    if (WSAEventSelect(handle, socketEvent, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) == 0) {
      if (connect(handle, reinterpret_cast<const sockaddr*>(&address.storage), address.length) ==
          0) {
        connected = true;
      } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
        const SteadyClock::time_point deadline =
            SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
          WSANETWORKEVENTS events{};
          if (Wait(RemainingMs(deadline), &events) != 1) break;
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

void TcpConnection::Abort() {
  socket_->aborted = true;
  if (socket_->abortEvent != nullptr) SetEvent(socket_->abortEvent);
}

void TcpConnection::Close() {
  socket_->Close();
}

bool TcpConnection::IsConnected() const {
  return socket_->handle != INVALID_SOCKET;
}

bool TcpConnection::Connect(const std::string& host, int port, int timeoutMs) {
  Close();
  if (!socket_->Usable() || port < 0 || port > 65535 || timeoutMs < 0) return false;
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
    if (lookup->done == nullptr) return false;
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
      SetEvent(lookup->done);
    }).detach();
    const HANDLE handles[2] = {socket_->abortEvent, lookup->done};
    if (WaitForMultipleObjects(2, handles, FALSE, RemainingMs(deadline)) != WAIT_OBJECT_0 + 1 ||
        socket_->aborted) {
      return false;
    }
    std::lock_guard lock(lookup->mutex);
    addresses = std::move(lookup->addresses);
  }

  for (const Address& address : addresses) {
    const DWORD left = RemainingMs(deadline);
    if (left == 0 || socket_->aborted) return false;
    if (socket_->ConnectTo(address, left)) return true;
  }
  return false;
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
      const SteadyClock::time_point deadline =
          SteadyClock::now() + std::chrono::milliseconds(kWriteStallTimeoutMs);
      bool room = false;
      while (!room) {
        WSANETWORKEVENTS events{};
        if (socket_->Wait(RemainingMs(deadline), &events) != 1) return false;
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
  const SteadyClock::time_point deadline =
      SteadyClock::now() + std::chrono::milliseconds(std::max(idleTimeoutMs, 0));
  for (;;) {
    if (socket_->aborted) return -1;
    const int n = recv(socket_->handle, reinterpret_cast<char*>(buffer), wanted, 0);
    if (n > 0) return n;
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
      // A recv that finds nothing re-arms FD_READ: the event is set once data comes.
      WSANETWORKEVENTS events{};
      const int woken = socket_->Wait(RemainingMs(deadline), &events);
      if (woken == 0) return 0;
      if (woken < 0) return -1;
      continue;
    }
    // End of stream or a broken connection: the socket is of no further use.
    Close();
    return -1;
  }
}

std::unique_ptr<IConnection> TcpConnectionFactory::Create() {
  return std::make_unique<TcpConnection>();
}

}  // namespace drv
