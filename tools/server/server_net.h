#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

// The message-server simulator's sockets and its stop request: one file per platform.
namespace drv::server {

// SIGTERM and SIGINT (on Windows Ctrl-C, Ctrl-Break and the console's close) request the stop
// that every wait below watches; a peer that has gone never raises a signal.
bool InstallStopHandlers();
// Waits up to `milliseconds`; true when a stop has been requested meanwhile or before.
bool WaitForStop(int milliseconds);

// One accepted connection; closed when destroyed.
class Client {
 public:
  Client() = default;
  explicit Client(std::intptr_t socket) : socket_(socket) {}
  ~Client();
  Client(Client&& other) noexcept;
  Client& operator=(Client&& other) noexcept;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool IsOpen() const { return socket_ != kNoSocket; }
  void Close();
  // Bytes received (waits for them); 0 at the end of the stream or on an error.
  std::size_t Receive(uint8_t* buffer, std::size_t size);
  bool SendAll(std::span<const uint8_t> bytes);
  std::intptr_t Socket() const { return socket_; }

 private:
  static constexpr std::intptr_t kNoSocket = -1;
  std::intptr_t socket_ = kNoSocket;  // the platform's socket
};

// A listening socket on 127.0.0.1.
class Listener {
 public:
  Listener();
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Port 0 picks a free one; false with the reason in `error`.
  bool Listen(int port, std::string& error);
  int Port() const;

  enum class Ready { kStop, kConnection, kClientInput, kTimedOut, kFailed };
  // Waits for a stop request, a connection to accept, or input (or its end) from `client` when
  // it is open, in that order of precedence; at most `timeoutMs` (negative: no limit).
  Ready Wait(const Client& client, int timeoutMs);
  // The next connection; a closed client when accepting failed.
  Client Accept();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace drv::server
