#pragma once

#include <cstdint>
#include <span>

namespace drv {

// What the main thread sees of the message-server session.
class ISessionLink {
 public:
  virtual ~ISessionLink() = default;
  // The connection is in use.
  virtual bool IsConnected() const = 0;
  // The server has accepted the driver on the current connection.
  virtual bool IsIntroduced() const = 0;
  // Numbers the message and puts it in the outgoing ring; callable from any thread. False when
  // the full ring refuses it (its number is used up all the same).
  [[nodiscard]] virtual bool QueueMessage(uint32_t type, std::span<const uint8_t> payload) = 0;
};

}  // namespace drv
