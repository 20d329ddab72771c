#include "app/close_code.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace drv {
namespace {

TEST(CloseCodeTest, DrawsFiveDigitsFrom10000To99998) {
  std::set<std::string> codes;
  for (uint64_t seed = 0; seed < 2000; ++seed) {
    const std::string code = DrawCloseCode(seed * 0x9E3779B97F4A7C15ull);
    SCOPED_TRACE(code);
    ASSERT_EQ(code.size(), 5u);
    ASSERT_NE(code[0], '0');
    ASSERT_EQ(code.find_first_not_of("0123456789"), std::string::npos);
    const int value = std::stoi(code);
    EXPECT_GE(value, 10000);
    EXPECT_LE(value, 99998);
    codes.insert(code);
  }
  // Out of 89999 codes, 2000 draws repeat only a few.
  EXPECT_GT(codes.size(), 1900u);
}

TEST(CloseCodeTest, TheSameSeedGivesTheSameCode) {
  EXPECT_EQ(DrawCloseCode(42), DrawCloseCode(42));
}

TEST(CloseCodeTest, SeedsOfTwoStartsDiffer) {
  EXPECT_NE(CloseCodeSeed(), CloseCodeSeed());
}

TEST(CloseCodeTest, OnlyTheExactEntryIsAccepted) {
  struct Case {
    const char* entry;
    const char* code;
    CloseCodeAnswer answer;
  };
  const Case cases[] = {
      {"12345", "12345", CloseCodeAnswer::kAccepted},
      {"1234", "12345", CloseCodeAnswer::kWrongCode},  // four digits typed
      {"1234 ", "12345", CloseCodeAnswer::kWrongCode},
      {"     ", "12345", CloseCodeAnswer::kWrongCode},  // nothing typed
      {"", "12345", CloseCodeAnswer::kWrongCode},
      {"123456", "12345", CloseCodeAnswer::kWrongCode},
      {" 12345", "12345", CloseCodeAnswer::kWrongCode},
      {"54321", "12345", CloseCodeAnswer::kWrongCode},
      {"", "", CloseCodeAnswer::kWrongCode},  // no code drawn lets nothing through
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("'") + c.entry + "' vs '" + c.code + "'");
    EXPECT_EQ(JudgeCloseCode(c.entry, c.code), c.answer);
  }
}

}  // namespace
}  // namespace drv
