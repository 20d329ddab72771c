#include "base/hex_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace drv {
namespace {

TEST(HexTextTest, EveryFormUsesTwoUpperCaseDigitsPerByte) {
  const struct {
    std::vector<uint8_t> bytes;
    std::string compact;
    std::string spaced;
    std::string blankSeparated;
  } cases[] = {
      {{}, "", "", ""},
      {{0x0A}, "0A", "0A ", "0A"},
      {{0x12, 0x01, 0xD2}, "1201D2", "12 01 D2 ", "12 01 D2"},
      {{0x00, 0xFF}, "00FF", "00 FF ", "00 FF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.compact);
    EXPECT_EQ(CompactHex(c.bytes), c.compact);
    EXPECT_EQ(SpacedHex(c.bytes), c.spaced);
    EXPECT_EQ(BlankSeparatedHex(c.bytes), c.blankSeparated);
  }
}

}  // namespace
}  // namespace drv
