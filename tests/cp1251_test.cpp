#include "base/cp1251.h"

#include <gtest/gtest.h>

#include <string>

namespace drv {
namespace {

struct Pair {
  const char* utf8;
  const char* cp1251;
};

TEST(Cp1251Test, ConvertsTheDriversTextsBothWays) {
  const Pair pairs[] = {
      {"Драйвер Тирвал 2007", "\xC4\xF0\xE0\xE9\xE2\xE5\xF0 \xD2\xE8\xF0\xE2\xE0\xEB 2007"},
      {"ошибка №19",
       "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9"
       "19"},
      {"АЯаяЁё", "\xC0\xDF\xE0\xFF\xA8\xB8"},
      {"€‚„…†‡‰‹›™", "\x88\x82\x84\x85\x86\x87\x89\x8B\x9B\x99"},
      {"ЂЃѓЉЊЌЋЏђљњќћџ", "\x80\x81\x83\x8A\x8C\x8D\x8E\x8F\x90\x9A\x9C\x9D\x9E\x9F"},
      {"ЎўЈҐґІіЄєЇїЅѕј", "\xA1\xA2\xA3\xA5\xB4\xB2\xB3\xAA\xBA\xAF\xBF\xBD\xBE\xBC"},
      {"\u00A0¤¦§©«¬\u00AD®°±µ¶·»", "\xA0\xA4\xA6\xA7\xA9\xAB\xAC\xAD\xAE\xB0\xB1\xB5\xB6\xB7\xBB"},
      {"‘’“”•–—", "\x91\x92\x93\x94\x95\x96\x97"},
      {"plain ASCII =[]\t\r\n", "plain ASCII =[]\t\r\n"},
  };
  for (const Pair& pair : pairs) {
    SCOPED_TRACE(pair.utf8);
    EXPECT_EQ(Utf8ToCp1251(pair.utf8), pair.cp1251);
    EXPECT_EQ(Cp1251ToUtf8(pair.cp1251), pair.utf8);
  }
}

TEST(Cp1251Test, NulBytesPassThrough) {
  const std::string withNul("a\0b", 3);
  EXPECT_EQ(Utf8ToCp1251(withNul), withNul);
  EXPECT_EQ(Cp1251ToUtf8(withNul), withNul);
}

TEST(Cp1251Test, EveryByteButTheUnassignedOneRoundTrips) {
  for (int byte = 0; byte < 256; ++byte) {
    SCOPED_TRACE(byte);
    const std::string one(1, static_cast<char>(byte));
    if (byte == 0x98) {
      EXPECT_EQ(Cp1251ToUtf8(one), "\xEF\xBF\xBD");  // U+FFFD
      EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(one)), "?");
    } else {
      EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(one)), one);
    }
  }
}

TEST(Cp1251Test, TextWithoutA1251CodeBecomesQuestionMarks) {
  const Pair cases[] = {
      {"中文", "??"},               // no 1251 code
      {"\xF0\x9F\x98\x80!", "?!"},  // four-byte character: one mark
      {"\xEF\xBF\xBD", "?"},        // U+FFFD itself
      {"a\xFF"
       "b",
       "a?b"},          // invalid byte
      {"a\xD0", "a?"},  // truncated sequence at the end
      {"\xD0"
       "A",
       "?A"},                        // lead byte without continuation
      {"\xC0\xAF", "??"},            // overlong '/'
      {"\xED\xA0\x80", "???"},       // surrogate
      {"\xF4\x90\x80\x80", "????"},  // beyond U+10FFFF
      {"\x80", "?"},                 // stray continuation byte
  };
  for (const Pair& c : cases) {
    SCOPED_TRACE(c.cp1251);
    EXPECT_EQ(Utf8ToCp1251(c.utf8), c.cp1251);
  }
}

}  // namespace
}  // namespace drv
