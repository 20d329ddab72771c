#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "delivery/session_link.h"

namespace drv::testing {

// A session whose flags the test sets; keeps every queued message.
class FakeSessionLink final : public ISessionLink {
 public:
  struct Message {
    uint32_t type;
    std::vector<uint8_t> payload;
  };

  bool connected() const override { return isConnected; }
  bool introduced() const override { return isIntroduced; }
  bool QueueMessage(uint32_t type, std::span<const uint8_t> payload) override {
    if (refuseWithException) throw std::runtime_error("session refused the message");
    if (refuse) return false;
    messages.push_back({type, std::vector<uint8_t>(payload.begin(), payload.end())});
    return true;
  }

  // Connected and accepted by the server.
  void SetUp(bool up = true) {
    isConnected = up;
    isIntroduced = up;
  }

  bool isConnected = false;
  bool isIntroduced = false;
  bool refuseWithException = false;
  bool refuse = false;  // as a full ring does
  std::vector<Message> messages;
};

}  // namespace drv::testing
