#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace drv {

// The session's outgoing queue of complete messages: a fixed circle of slots written oldest
// first. It carries the introduction, port state and confirm messages; event records travel
// through the spool instead. Not synchronised: its owner guards it.
class MessageRing {
 public:
  static constexpr std::size_t kSlots = 100;

  // Stores the message behind the others; false, and nothing stored, when every slot is taken.
  [[nodiscard]] bool Put(std::vector<uint8_t> message);
  // The oldest message, which stays queued; null when the ring is empty.
  const std::vector<uint8_t>* Peek() const;
  // Removes the oldest message, if any.
  void Drop();

  std::size_t Count() const { return count_; }
  bool Empty() const { return count_ == 0; }

 private:
  std::array<std::vector<uint8_t>, kSlots> slots_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

}  // namespace drv
