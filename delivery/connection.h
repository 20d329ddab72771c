#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace drv {

// Where the message server listens ("ServerHost" in the settings file).
struct ServerEndpoint {
  std::string address = "127.0.0.1";
  int32_t port = 12543;
};

// One client connection to the message server. Used by the session thread only, except Abort().
class IConnection {
 public:
  virtual ~IConnection() = default;
  // Resolves `host` (a name or an address) and connects; gives up after timeoutMs overall.
  virtual bool Connect(const std::string& host, int port, int timeoutMs) = 0;
  // Writes all the bytes or fails; a peer that has gone never raises a signal.
  virtual bool Write(std::span<const uint8_t> bytes) = 0;
  // Reads up to `size` bytes, waiting at most idleTimeoutMs for the first. Returns the count
  // (> 0), 0 on time-out, -1 on end of stream or error; end of stream leaves the connection
  // closed.
  virtual int ReadSome(uint8_t* buffer, std::size_t size, int idleTimeoutMs) = 0;
  virtual void Close() = 0;
  virtual bool IsConnected() const = 0;
  // Callable from any thread: wakes a blocking Connect, ReadSome or Write at once and makes
  // every later call fail. Used at shutdown.
  virtual void Abort() = 0;
};

class IConnectionFactory {
 public:
  virtual ~IConnectionFactory() = default;
  virtual std::unique_ptr<IConnection> Create() = 0;
};

}  // namespace drv
