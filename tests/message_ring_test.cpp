#include "delivery/message_ring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace drv {
namespace {

std::vector<uint8_t> Message(int n) {
  return {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
}

TEST(MessageRingTest, GivesMessagesBackOldestFirstAndKeepsTheHeadUntilDropped) {
  MessageRing ring;
  EXPECT_EQ(ring.Peek(), nullptr);
  ASSERT_TRUE(ring.Put(Message(1)));
  ASSERT_TRUE(ring.Put(Message(2)));
  ASSERT_NE(ring.Peek(), nullptr);
  EXPECT_EQ(*ring.Peek(), Message(1));
  EXPECT_EQ(*ring.Peek(), Message(1)) << "peeking does not remove";
  ring.Drop();
  EXPECT_EQ(*ring.Peek(), Message(2));
  ring.Drop();
  EXPECT_TRUE(ring.Empty());
  ring.Drop();  // dropping from an empty ring changes nothing
  EXPECT_TRUE(ring.Empty());
  EXPECT_TRUE(ring.Put(Message(3)));
  EXPECT_EQ(*ring.Peek(), Message(3));
}

TEST(MessageRingTest, RefusesTheHundredAndFirstUntilOneIsDropped) {
  MessageRing ring;
  for (int i = 0; i < static_cast<int>(MessageRing::kSlots); ++i) ASSERT_TRUE(ring.Put(Message(i)));
  EXPECT_FALSE(ring.Put(Message(1000)));
  EXPECT_EQ(ring.Count(), MessageRing::kSlots);
  EXPECT_EQ(*ring.Peek(), Message(0)) << "a refused message leaves the queue as it was";

  ring.Drop();
  EXPECT_TRUE(ring.Put(Message(1001)));
  EXPECT_FALSE(ring.Put(Message(1002)));
  // Around the circle and out again in the order of queueing.
  for (int i = 1; i < static_cast<int>(MessageRing::kSlots); ++i) {
    ASSERT_EQ(*ring.Peek(), Message(i));
    ring.Drop();
  }
  EXPECT_EQ(*ring.Peek(), Message(1001));
  ring.Drop();
  EXPECT_TRUE(ring.Empty());
}

}  // namespace
}  // namespace drv
