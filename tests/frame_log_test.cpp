#include "receiver/frame_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "base/cp1251.h"
#include "base/paths.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

using Bytes = std::vector<uint8_t>;

const TDateTime kJan31 =
    EncodeDateTime({.year = 2024, .month = 1, .day = 31, .hour = 12, .minute = 34, .second = 56});
const TDateTime kFeb1 =
    EncodeDateTime({.year = 2024, .month = 2, .day = 1, .hour = 0, .minute = 0, .second = 1});

// With the platform's separator: "\\" on Windows, "/" elsewhere.
TEST(FrameLogPathTest, NamesTheFileAfterTheLocalDate) {
  const std::string sep(1, PathSeparator());
  EXPECT_EQ(FrameLogPath("/srv/drv", kJan31),
            "/srv/drv" + sep + "log" + sep + "drvtirval20240131.log");
  EXPECT_EQ(FrameLogPath("/srv/drv/", kFeb1), "/srv/drv/log" + sep + "drvtirval20240201.log");
  EXPECT_EQ(FrameLogPath("", kFeb1), "log" + sep + "drvtirval20240201.log");
}

TEST(FrameLogLineTest, SpacedHexThenTheObjectNumberFromBytesFiveAndSix) {
  struct Case {
    const char* name;
    Bytes decoded;
    std::string afterTime;
  };
  const Case cases[] = {
      {"report",
       {0xF2, 0x01, 0x00, 0x10, 0x00, 0x04, 0xD2, 0x00},
       " - F2 01 00 10 00 04 D2 00  Номер - 1234\r\n"},
      {"no bytes", {}, " -  Номер - 0\r\n"},
      {"byte 6 missing", {0, 0, 0, 0, 0, 0x01}, " - 00 00 00 00 00 01  Номер - 256\r\n"},
      {"largest number", {0, 0, 0, 0, 0, 0xFF, 0xFF}, " - 00 00 00 00 00 FF FF  Номер - 65535\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FrameLogLine(kJan31, c.decoded), FormatDateTime(kJan31) + c.afterTime);
  }
}

TEST(FrameLogLineTest, LeavesOutTheTimeAtMidnight) {
  const TDateTime midnight = EncodeDateTime({.year = 2024, .month = 2, .day = 1});
  ASSERT_NE(FormatDateTimeOmittingMidnight(midnight), FormatDateTime(midnight));
  EXPECT_EQ(FrameLogLine(midnight, Bytes{0xF2}),
            FormatDateTimeOmittingMidnight(midnight) + " - F2  Номер - 0\r\n");
  EXPECT_EQ(FrameLogLine(kFeb1, Bytes{0xF2}), FormatDateTime(kFeb1) + " - F2  Номер - 0\r\n");
}

class FrameLogTest : public ::testing::Test {
 protected:
  std::filesystem::path LogDir() const { return dir_.Path() / "log"; }
  testing::TempDir dir_;
};

TEST_F(FrameLogTest, CreatesTheDailyFileThenAppendsInWindows1251) {
  std::filesystem::create_directory(LogDir());
  FrameLog log(dir_.Path().string());
  const Bytes first = {0xF2, 0x0E};
  const Bytes second = {0x45, 0x00, 0xBB};

  log.WriteLine(kJan31, first);
  log.WriteLine(kJan31 + kOneSecond, second);
  log.WriteLine(kFeb1, first);

  const std::string jan = testing::ReadFileBytes(LogDir() / "drvtirval20240131.log");
  EXPECT_EQ(jan,
            Utf8ToCp1251(FrameLogLine(kJan31, first) + FrameLogLine(kJan31 + kOneSecond, second)));
  // The label is written in code page 1251, not UTF-8.
  EXPECT_NE(jan.find(" \xCD\xEE\xEC\xE5\xF0 - 0\r\n"), std::string::npos);
  EXPECT_EQ(testing::ReadFileBytes(LogDir() / "drvtirval20240201.log"),
            Utf8ToCp1251(FrameLogLine(kFeb1, first)));
}

TEST_F(FrameLogTest, AppendsToALogThatAlreadyExists) {
  std::filesystem::create_directory(LogDir());
  testing::WriteFileBytes(LogDir() / "drvtirval20240131.log", "earlier\r\n");
  FrameLog(dir_.Path().string()).WriteLine(kJan31, Bytes{0xF2, 0x0E});
  EXPECT_EQ(testing::ReadFileBytes(LogDir() / "drvtirval20240131.log"),
            "earlier\r\n" + Utf8ToCp1251(FrameLogLine(kJan31, Bytes{0xF2, 0x0E})));
}

TEST_F(FrameLogTest, FailuresAreSwallowedAndCreateNothing) {
  struct Case {
    const char* name;
    void (*prepare)(const std::filesystem::path& start);
  };
  const Case cases[] = {
      {"no log directory", [](const std::filesystem::path&) {}},
      {"log is a file",
       [](const std::filesystem::path& start) { testing::WriteFileBytes(start / "log", "x"); }},
      {"the day's log is a directory",
       [](const std::filesystem::path& start) {
         std::filesystem::create_directories(start / "log" / "drvtirval20240131.log");
       }},
      {"start directory missing",
       [](const std::filesystem::path& start) { std::filesystem::remove_all(start); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    c.prepare(dir.Path());
    const bool existed = std::filesystem::exists(dir.Path());
    std::vector<std::filesystem::path> before;
    if (existed) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.Path())) {
        before.push_back(entry.path());
      }
      std::sort(before.begin(), before.end());
    }

    FrameLog(dir.Path().string()).WriteLine(kJan31, Bytes{0xF2, 0x0E});

    EXPECT_EQ(std::filesystem::exists(dir.Path()), existed);
    if (existed) {
      std::vector<std::filesystem::path> after;
      for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.Path())) {
        after.push_back(entry.path());
      }
      std::sort(after.begin(), after.end());
      EXPECT_EQ(after, before);
    }
  }
}

}  // namespace
}  // namespace drv
