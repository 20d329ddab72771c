#include "delivery/message_ring.h"

#include <utility>

namespace drv {

bool MessageRing::Put(std::vector<uint8_t> message) {
  if (count_ == kSlots) return false;
  slots_[(head_ + count_) % kSlots] = std::move(message);
  ++count_;
  return true;
}

const std::vector<uint8_t>* MessageRing::Peek() const {
  return count_ == 0 ? nullptr : &slots_[head_];
}

void MessageRing::Drop() {
  if (count_ == 0) return;
  // Give the slot's memory back: a long message must not stay allocated for ever.
  std::vector<uint8_t>().swap(slots_[head_]);
  head_ = (head_ + 1) % kSlots;
  --count_;
}

}  // namespace drv
