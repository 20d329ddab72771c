#include "base/profile_file.h"

#include <gtest/gtest.h>

#include <cctype>
#include <limits>
#include <stdexcept>
#include <string>
#include <system_error>

namespace drv {
namespace {

struct ReadCase {
  const char* name;
  std::string file;
  const char* section;
  const char* key;
  std::string expected;  // with default "DEF"
};

const ReadCase kReadCases[] = {
    {"plain", "[main]\r\nComPort=COM3\r\n", "main", "ComPort", "COM3"},
    {"names ignore letter case", "[MAIN]\r\ncomport=COM3\r\n", "Main", "COMPORT", "COM3"},
    {"blanks around key and value", "[main]\r\n  ComPort \t=  COM3 \t\r\n", "main", "ComPort",
     "COM3"},
    {"vertical tab and form feed are blanks", "[main]\r\n\v\fComPort=\vCOM3\f\r\n", "main",
     "ComPort", "COM3"},
    {"blanks inside the value stay", "[main]\r\ncaption= a  b \r\n", "main", "caption", "a  b"},
    {"double quotes", "[main]\r\ncaption=\" x \"\r\n", "main", "caption", " x "},
    {"single quotes", "[main]\r\ncaption='x'\r\n", "main", "caption", "x"},
    {"mismatched quotes stay", "[main]\r\ncaption=\"x'\r\n", "main", "caption", "\"x'"},
    {"lone quote stays", "[main]\r\ncaption=\"\r\n", "main", "caption", "\""},
    {"inner quotes stay", "[main]\r\ncaption=a\"b\"\r\n", "main", "caption", "a\"b\""},
    {"empty value is empty, not the default", "[main]\r\nPathForSoob=\r\n", "main", "PathForSoob",
     ""},
    {"blank value is empty", "[main]\r\nPathForSoob=   \r\n", "main", "PathForSoob", ""},
    {"missing key", "[main]\r\nOther=1\r\n", "main", "ComPort", "DEF"},
    {"missing section", "[other]\r\nComPort=1\r\n", "main", "ComPort", "DEF"},
    {"empty file", "", "main", "ComPort", "DEF"},
    {"key of another section", "[other]\r\nComPort=1\r\n[main]\r\nx=2\r\n", "main", "ComPort",
     "DEF"},
    {"key before any section", "ComPort=1\r\n[main]\r\n", "main", "ComPort", "DEF"},
    {"first key wins", "[main]\r\nComPort=A\r\nComPort=B\r\n", "main", "ComPort", "A"},
    {"first section of a name counts", "[main]\r\nx=1\r\n[other]\r\n[Main]\r\nComPort=B\r\n",
     "main", "ComPort", "DEF"},
    {"value holding '='", "[main]\r\nret=a=b\r\n", "main", "ret", "a=b"},
    {"line without '=' is no key", "[main]\r\nComPort\r\nx=1\r\n", "main", "ComPort", "DEF"},
    {"commented key does not count", "[main]\r\n;ComPort=COM1\r\n", "main", "ComPort", "DEF"},
    {"section with comment after it", "[main] ; settings\r\nComPort=COM3\r\n", "main", "ComPort",
     "COM3"},
    {"blanks inside the brackets", "  [ main ]  \r\nComPort=COM3\r\n", "main", "ComPort", "COM3"},
    {"bracket without its end is no section", "[main\r\nComPort=COM3\r\n", "main", "ComPort",
     "DEF"},
    {"unix line ends", "[main]\nComPort=COM3\nx=1\n", "main", "ComPort", "COM3"},
    {"lone CR line ends", "[main]\rComPort=COM3\rx=1\r", "main", "ComPort", "COM3"},
    {"no line end at the end", "[main]\r\nComPort=COM3", "main", "ComPort", "COM3"},
    {"Cyrillic value from 1251", "[main]\r\ncaption=\xCF\xF3\xEB\xFC\xF2\r\n", "main", "caption",
     "Пульт"},
    {"Cyrillic names ignore letter case", "[\xD0\xC0\xC7\xC4\xC5\xCB]\r\n\xCA\xCB\xDE\xD7=1\r\n",
     "раздел", "Ключ", "1"},
    {"value cut at a NUL byte", std::string("[main]\r\ncaption=ab\0cd\r\n", 24), "main", "caption",
     "ab"},
    {"garbage lines around", "\xFF\xFE\x01garbage\r\n[main]\r\n]]]\r\n==\r\nComPort=COM3\r\n",
     "main", "ComPort", "COM3"},
    {"UTF-8 with byte order mark", "\xEF\xBB\xBF[main]\r\ncaption=Пульт\r\n", "main", "caption",
     "Пульт"},
};

class ProfileReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ProfileReadTest, ReadsByTheWindowsRules) {
  const ReadCase& c = GetParam();
  const ProfileFile profile(c.file);
  EXPECT_EQ(profile.ReadString(c.section, c.key, "DEF"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProfileReadTest, ::testing::ValuesIn(kReadCases),
                         [](const ::testing::TestParamInfo<ReadCase>& param) {
                           std::string name;
                           for (const char c : std::string(param.param.name)) {
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           }
                           return name;
                         });

TEST(ProfileFileTest, ValuesAreCutAt2047Characters) {
  const std::string longValue(3000, 'x');
  const ProfileFile profile("[main]\r\ncaption=" + longValue + "\r\nx=1\r\n");
  EXPECT_EQ(profile.ReadString("main", "caption", ""), std::string(2047, 'x'));
  EXPECT_EQ(profile.ReadString("main", "x", ""), "1");

  // Characters, not bytes, in a UTF-8 file.
  std::string cyrillic;
  for (int i = 0; i < 2100; ++i) cyrillic += "ж";
  const ProfileFile utf8("\xEF\xBB\xBF[main]\ncaption=" + cyrillic + "\n");
  std::string expected;
  for (int i = 0; i < 2047; ++i) expected += "ж";
  EXPECT_EQ(utf8.ReadString("main", "caption", ""), expected);
}

TEST(ProfileFileTest, IntegersFollowTheConversionRules) {
  struct Case {
    const char* text;
    int32_t expected;  // default 4
  };
  const Case cases[] = {
      {"0x10", 16},
      {"0X1f", 31},
      {"$FF", 255},
      {"-2", -2},
      {"+7", 7},
      {"  12  ", 12},
      {"007", 7},
      {"2147483647", 2147483647},
      {"-2147483648", std::numeric_limits<int32_t>::min()},
      {"$FFFFFFFF", -1},
      {"0x80000000", std::numeric_limits<int32_t>::min()},
      {"-$10", -16},
      {"4a", 4},
      {"2147483648", 4},
      {"-2147483649", 4},
      {"$100000000", 4},
      {"99999999999999999999", 4},
      {"0x", 4},
      {"$", 4},
      {"-", 4},
      {"", 4},
      {"1 2", 4},
      {"--1", 4},
      {"1e3", 4},
      {"1.0", 4},
      {"0x1G", 4},
      {"true", 4},
      {"'12'", 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const ProfileFile profile(std::string("[main]\r\nn=") + c.text + "\r\n");
    EXPECT_EQ(profile.ReadInteger("main", "n", 4), c.expected);
  }
  EXPECT_EQ(ProfileFile("").ReadInteger("main", "n", -1), -1);
}

TEST(ProfileFileTest, BooleansAreReadAsIntegers) {
  struct Case {
    const char* text;
    bool defaultValue;
    bool expected;
  };
  const Case cases[] = {
      {"0", true, false},   {"1", false, true},    {"-1", false, true},
      {"0x0", true, false}, {"yes", true, true},   {"yes", false, false},
      {"", true, true},     {"false", true, true}, {"true", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + (c.defaultValue ? " default true" : " default false"));
    const ProfileFile profile(std::string("[main]\r\nb=") + c.text + "\r\n");
    EXPECT_EQ(profile.ReadBool("main", "b", c.defaultValue), c.expected);
  }
}

struct WriteCase {
  const char* name;
  std::string before;
  std::string after;  // after WriteString("main", "ComPort", "COM4")
};

const WriteCase kWriteCases[] = {
    {"empty file gets section and key", "", "[main]\r\nComPort=COM4\r\n"},
    {"value replaced in place",
     "; \xEA\xEE\xEC\xEC\xE5\xED\xF2\r\n[main]\r\ncaption=\xD2\xE8\xF0\xE2\xE0\xEB\r\n"
     "ComPort=COM3\r\nLog=1\r\n\r\n[ServerHost]\r\nPort=12543\r\n",
     "; \xEA\xEE\xEC\xEC\xE5\xED\xF2\r\n[main]\r\ncaption=\xD2\xE8\xF0\xE2\xE0\xEB\r\n"
     "ComPort=COM4\r\nLog=1\r\n\r\n[ServerHost]\r\nPort=12543\r\n"},
    {"blanks around the value stay", "[Main]\n  comport =  COM3  \nx=1\n",
     "[Main]\n  comport =  COM4  \nx=1\n"},
    {"quoted value replaced whole", "[main]\r\nComPort=\"COM3\"\r\n", "[main]\r\nComPort=COM4\r\n"},
    {"empty value filled", "[main]\r\nComPort=\r\n", "[main]\r\nComPort=COM4\r\n"},
    {"no line end at the end", "[main]\r\nComPort=COM3", "[main]\r\nComPort=COM4"},
    {"key added at the end of its section, before the blank line",
     "[main]\r\nLog=1\r\n\r\n[ServerHost]\r\nPort=1\r\n",
     "[main]\r\nLog=1\r\nComPort=COM4\r\n\r\n[ServerHost]\r\nPort=1\r\n"},
    {"key added with the file's unix line ends", "[main]\nLog=1\n",
     "[main]\nLog=1\nComPort=COM4\n"},
    {"key added after a last line without its end", "[main]\nLog=1", "[main]\nLog=1\nComPort=COM4"},
    {"key added after a bare section header", "[main]", "[main]\r\nComPort=COM4"},
    {"section added after others", "[other]\r\nx=1\r\n",
     "[other]\r\nx=1\r\n[main]\r\nComPort=COM4\r\n"},
    {"section added after a last line without its end", "[other]\nx=1",
     "[other]\nx=1\n[main]\nComPort=COM4\n"},
    {"first of two sections written", "[main]\r\nLog=1\r\n[main]\r\nComPort=COM3\r\n",
     "[main]\r\nLog=1\r\nComPort=COM4\r\n[main]\r\nComPort=COM3\r\n"},
    {"commented key left alone", "[main]\r\n;ComPort=COM3\r\n",
     "[main]\r\n;ComPort=COM3\r\nComPort=COM4\r\n"},
    {"line without '=' left alone", "[main]\r\nComPort\r\n",
     "[main]\r\nComPort\r\nComPort=COM4\r\n"},
    {"invalid bytes elsewhere kept", std::string("\xFF\x00\x98\r\n[main]\r\nComPort=1\r\n", 22),
     std::string("\xFF\x00\x98\r\n[main]\r\nComPort=COM4\r\n", 25)},
};

class ProfileWriteTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(ProfileWriteTest, ChangesOnlyTheKeysLine) {
  const WriteCase& c = GetParam();
  ProfileFile profile(c.before);
  profile.WriteString("main", "ComPort", "COM4");
  EXPECT_EQ(profile.Bytes(), c.after);
  EXPECT_EQ(profile.ReadString("main", "ComPort", ""), "COM4");
}

INSTANTIATE_TEST_SUITE_P(Cases, ProfileWriteTest, ::testing::ValuesIn(kWriteCases),
                         [](const ::testing::TestParamInfo<WriteCase>& param) {
                           std::string name;
                           for (const char c : std::string(param.param.name)) {
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           }
                           return name;
                         });

TEST(ProfileFileTest, WritesTextsInTheFilesEncoding) {
  ProfileFile cp1251("[main]\r\n");
  cp1251.WriteString("main", "caption", "Пульт");
  EXPECT_EQ(cp1251.Bytes(), "[main]\r\ncaption=\xCF\xF3\xEB\xFC\xF2\r\n");

  ProfileFile utf8("\xEF\xBB\xBF[main]\n");
  utf8.WriteString("main", "caption", "Пульт");
  EXPECT_EQ(utf8.Bytes(), "\xEF\xBB\xBF[main]\ncaption=Пульт\n");
  EXPECT_EQ(utf8.ReadString("main", "caption", ""), "Пульт");
}

TEST(ProfileFileTest, RefusesTextsThatWouldBreakTheFile) {
  const std::string before = "[main]\r\nComPort=COM3\r\n";
  const std::string_view bad[] = {"COM4\r\n[evil]", "a\nb", "a\rb", std::string_view("a\0b", 3)};
  for (const std::string_view value : bad) {
    ProfileFile profile(before);
    EXPECT_THROW(profile.WriteString("main", "ComPort", value), std::invalid_argument);
    EXPECT_EQ(profile.Bytes(), before);
  }
  ProfileFile profile(before);
  EXPECT_THROW(profile.WriteString("main", "Com=Port", "x"), std::invalid_argument);
  EXPECT_THROW(profile.WriteString("ma]in", "ComPort", "x"), std::invalid_argument);
  EXPECT_EQ(profile.Bytes(), before);
}

TEST(ProfileFileTest, LoadTreatsAMissingFileAsEmptyAndReportsOtherFailures) {
  EXPECT_TRUE(ProfileFile::Load("/nonexistent-dir/x.ini").Bytes().empty());
  EXPECT_THROW(ProfileFile::Load("/"), std::system_error);
  EXPECT_TRUE(ProfileFile::LoadOrEmpty("/").Bytes().empty());
}

}  // namespace
}  // namespace drv
