#include "base/error_log.h"

#include <gtest/gtest.h>

#include <system_error>

#include "base/paths.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

// "ошибка №" in Windows-1251.
const std::string kPrefix = "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9";

class ErrorLogTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = ErrorLogPath(dir.Path().string());
};

TEST_F(ErrorLogTest, FirstCodeCreatesTheFileAndEachCodeAddsOneLine) {
  WriteErrorCode(path, 9);
  WriteErrorCode(path, 9);
  WriteErrorCode(path, 19);
  EXPECT_EQ(ReadFileBytes(path), kPrefix + "9\r\n" + kPrefix + "9\r\n" + kPrefix + "19\r\n");
}

TEST_F(ErrorLogTest, ExistingLinesStayAndNewLinesFollowThem) {
  struct Case {
    const char* name;
    std::string before;
    std::string after;
  };
  const Case cases[] = {
      {"complete lines", "old\r\n", "old\r\n" + kPrefix + "11\r\n"},
      {"unix line end", "old\n", "old\n" + kPrefix + "11\r\n"},
      {"empty file", "", kPrefix + "11\r\n"},
      // A last line without its end would otherwise swallow the code.
      {"open last line", "old", "old\r\n" + kPrefix + "11\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFileBytes(path, c.before);
    WriteErrorCode(path, 11);
    EXPECT_EQ(ReadFileBytes(path), c.after);
  }
}

TEST_F(ErrorLogTest, TextLinesGoInWindows1251OnLinesOfTheirOwn) {
  WriteFileBytes(path, kPrefix + "12");
  WriteErrorText(path, "Порт уже занят.\nСмените его.");
  WriteErrorCode(path, 9);
  EXPECT_EQ(ReadFileBytes(path), kPrefix + "12\r\n" +
                                     "\xCF\xEE\xF0\xF2 \xF3\xE6\xE5 \xE7\xE0\xED\xFF\xF2. "
                                     "\xD1\xEC\xE5\xED\xE8\xF2\xE5 \xE5\xE3\xEE.\r\n" +
                                     kPrefix + "9\r\n");
}

TEST_F(ErrorLogTest, AFileThatCannotBeCreatedIsReportedToTheCaller) {
  EXPECT_THROW(WriteErrorText(dir.File("missing/error.txt"), "text"), std::system_error);
  EXPECT_THROW(WriteErrorCode(dir.File("missing/error.txt"), 19), std::system_error);
  // A directory in place of the file.
  EXPECT_THROW(WriteErrorCode(dir.Path().string(), 19), std::system_error);
}

TEST(ErrorLogPathTest, JoinsWithOneSeparator) {
  EXPECT_EQ(ErrorLogPath("/w"), "/w" + std::string(1, PathSeparator()) + "error.txt");
  EXPECT_EQ(ErrorLogPath("/w/"), "/w/error.txt");
  EXPECT_EQ(ErrorLogPath(""), "error.txt");
}

}  // namespace
}  // namespace drv
