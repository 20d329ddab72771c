#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come before windows.h.
#include <windows.h>

#include <algorithm>
#include <utility>

#include "base/win_text.h"
#include "tools/server/server_net.h"

namespace drv::server {
namespace {

HANDLE g_stopEvent = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
  if (g_stopEvent != nullptr) SetEvent(g_stopEvent);
  return TRUE;
}

SOCKET AsSocket(std::intptr_t socket) {
  return static_cast<SOCKET>(socket);
}

}  // namespace

bool InstallStopHandlers() {
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return g_stopEvent != nullptr && SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool WaitForStop(int milliseconds) {
  return WaitForSingleObject(g_stopEvent, static_cast<DWORD>(milliseconds)) == WAIT_OBJECT_0;
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
  if (socket_ != kNoSocket) closesocket(AsSocket(std::exchange(socket_, kNoSocket)));
}

std::size_t Client::Receive(uint8_t* buffer, std::size_t size) {
  // Called after Listener::Wait saw input or the end, so a non-blocking read finds it.
  const int n = recv(AsSocket(socket_), reinterpret_cast<char*>(buffer),
                     static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool Client::SendAll(std::span<const uint8_t> bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = send(AsSocket(socket_), reinterpret_cast<const char*>(bytes.data() + sent),
                       static_cast<int>(std::min<std::size_t>(bytes.size() - sent, 1 << 30)), 0);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
      Sleep(1);
    } else {
      return false;
    }
  }
  return true;
}

struct Listener::Impl {
  ~Impl() {
    if (socket != INVALID_SOCKET) closesocket(socket);
    if (listenEvent != WSA_INVALID_EVENT) WSACloseEvent(listenEvent);
    if (clientEvent != WSA_INVALID_EVENT) WSACloseEvent(clientEvent);
  }
  SOCKET socket = INVALID_SOCKET;
  WSAEVENT listenEvent = WSACreateEvent();
  WSAEVENT clientEvent = WSACreateEvent();
  std::intptr_t selectedClient = -1;  // the client whose events go to clientEvent
  bool clientClosed = false;          // its end of the stream has been reported
  int port = 0;
};

Listener::Listener() : impl_(std::make_unique<Impl>()) {}

Listener::~Listener() = default;

bool Listener::Listen(int port, std::string& error) {
  impl_->socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<u_short>(port));
  // Exclusive: a second server on the port fails instead of sharing it.
  const BOOL on = TRUE;
  setsockopt(impl_->socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
             sizeof on);
  if (impl_->socket == INVALID_SOCKET ||
      bind(impl_->socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(impl_->socket, 4) != 0 ||
      WSAEventSelect(impl_->socket, impl_->listenEvent, FD_ACCEPT) != 0) {
    error = WindowsErrorText(static_cast<unsigned long>(WSAGetLastError()));
    return false;
  }
  int length = sizeof address;
  getsockname(impl_->socket, reinterpret_cast<sockaddr*>(&address), &length);
  impl_->port = ntohs(address.sin_port);
  return true;
}

int Listener::Port() const {
  return impl_->port;
}

Listener::Ready Listener::Wait(const Client& client, int timeoutMs) {
  const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(std::max(timeoutMs, 0));
  const SOCKET clientSocket = AsSocket(client.Socket());
  if (client.IsOpen() && client.Socket() != impl_->selectedClient) {
    WSAEventSelect(clientSocket, impl_->clientEvent, FD_READ | FD_CLOSE);
    impl_->selectedClient = client.Socket();
    impl_->clientClosed = false;
  }
  for (;;) {
    if (WaitForSingleObject(g_stopEvent, 0) == WAIT_OBJECT_0) return Ready::kStop;
    // Input left from the last read, or an end already seen, raises no new event.
    u_long waiting = 0;
    if (client.IsOpen() && (impl_->clientClosed ||
                            (ioctlsocket(clientSocket, FIONREAD, &waiting) == 0 && waiting > 0))) {
      return Ready::kClientInput;
    }
    DWORD wait = INFINITE;
    if (timeoutMs >= 0) {
      const ULONGLONG now = GetTickCount64();
      wait = now < until ? static_cast<DWORD>(until - now) : 0;
    }
    const HANDLE handles[3] = {g_stopEvent, impl_->listenEvent, impl_->clientEvent};
    const DWORD woken = WaitForMultipleObjects(client.IsOpen() ? 3 : 2, handles, FALSE, wait);
    WSANETWORKEVENTS events{};
    switch (woken) {
      case WAIT_OBJECT_0:
        return Ready::kStop;
      case WAIT_OBJECT_0 + 1:
        WSAEnumNetworkEvents(impl_->socket, impl_->listenEvent, &events);
        return Ready::kConnection;
      case WAIT_OBJECT_0 + 2:
        // Also resets the event; what it reported is looked at on the next pass.
        WSAEnumNetworkEvents(clientSocket, impl_->clientEvent, &events);
        if ((events.lNetworkEvents & FD_CLOSE) != 0) impl_->clientClosed = true;
        break;
      case WAIT_TIMEOUT:
        return Ready::kTimedOut;
      default:
        return Ready::kFailed;
    }
  }
}

Client Listener::Accept() {
  const SOCKET socket = accept(impl_->socket, nullptr, nullptr);
  if (socket == INVALID_SOCKET) return Client();
  impl_->selectedClient = -1;
  return Client(static_cast<std::intptr_t>(socket));
}

}  // namespace drv::server
