#include "delivery/spool_files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "base/paths.h"
#include "delivery/message_types.h"

namespace drv {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

TEST(SpoolFileNameTest, MillisecondsSinceTheStartOfTheMonthInHex) {
  const struct {
    CivilTime time;
    const char* name;
  } cases[] = {
      {{2026, 3, 1, 0, 0, 0, 0}, "5265C00.dd8"},
      {{2026, 1, 31, 23, 59, 59, 999}, "A4CB7FFF.dd8"},
      {{2026, 12, 5, 13, 45, 7, 123}, "1CB33733.dd8"},
      {{1999, 2, 10, 0, 0, 1, 10}, "337F9BF2.dd8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SpoolFileName(c.time), c.name);
  }
}

TEST(SpoolFileNameTest, RejectsTimesTheClockCannotShow) {
  const CivilTime cases[] = {
      {2026, 1, 0, 0, 0, 0, 0},  {2026, 1, 32, 0, 0, 0, 0}, {2026, 1, 1, 24, 0, 0, 0},
      {2026, 1, 1, 0, 60, 0, 0}, {2026, 1, 1, 0, 0, 60, 0}, {2026, 1, 1, 0, 0, 0, 1000},
      {2026, 1, 1, -1, 0, 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_THROW(SpoolFileName(c), std::out_of_range)
        << c.day << " " << c.hour << ":" << c.minute << ":" << c.second << "." << c.millisecond;
  }
}

TEST(SpoolPrefixTest, SplitsIntoDirectoryAndNameStart) {
  // The directory part, on POSIX systems and on Windows, where "\\" separates as well as "/".
  const struct {
    const char* prefix;
    const char* posixDirectory;
    const char* windowsDirectory;
  } cases[] = {
      {"", "", ""},
      {"/var/spool/drv/", "/var/spool/drv/", "/var/spool/drv/"},
      {"/var/spool/drv/ev", "/var/spool/drv/", "/var/spool/drv/"},
      {"spool/", "spool/", "spool/"},
      {"ev", "", ""},
      {"C:\\spool\\", "", "C:\\spool\\"},
      {"C:\\spool\\ev", "", "C:\\spool\\"},
      {"C:\\spool/ev", "C:\\spool/", "C:\\spool/"},
      {"D:ev", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prefix);
    const SpoolLocation location = SplitSpoolPrefix(c.prefix);
    const std::string directory = PathSeparator() == '\\' ? c.windowsDirectory : c.posixDirectory;
    EXPECT_EQ(location.directory, directory);
    EXPECT_EQ(location.directory + location.namePrefix, c.prefix);
  }
  EXPECT_TRUE(IsSpoolFileName("1CB33733.dd8", ""));
  EXPECT_TRUE(IsSpoolFileName("1CB33733-1.DD8", ""));
  EXPECT_TRUE(IsSpoolFileName("ev1CB33733.dd8", "ev"));
  EXPECT_FALSE(IsSpoolFileName("1CB33733.dd8", "ev"));
  EXPECT_FALSE(IsSpoolFileName("1CB33733.dd8.bad", ""));
  EXPECT_FALSE(IsSpoolFileName(".spool-12-0.tmp", ""));
}

TEST(SpoolFileBytesTest, TypeThenPayloadAndBackAgain) {
  EventRecordBytes record{};
  for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(i + 1);
  const std::vector<uint8_t> bytes = SpoolFileBytes(record);
  ASSERT_EQ(bytes.size(), 31u);
  EXPECT_THAT(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4),
              ElementsAre(0x42, 0x00, 0x00, 0x03));
  EXPECT_THAT(std::vector<uint8_t>(bytes.begin() + 4, bytes.end()), ElementsAreArray(record));

  const auto parsed = ParseSpoolFileBytes(bytes);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->type, MsgEventRecord);
  EXPECT_THAT(parsed->payload, ElementsAreArray(record));

  // Any file of at least the type's 4 bytes is a message: the rest, however long, the payload.
  const std::vector<uint8_t> justType{0x04, 0x03, 0x02, 0x01};
  ASSERT_TRUE(ParseSpoolFileBytes(justType).has_value());
  EXPECT_EQ(ParseSpoolFileBytes(justType)->type, 0x01020304u);
  EXPECT_THAT(ParseSpoolFileBytes(justType)->payload, IsEmpty());
  EXPECT_FALSE(ParseSpoolFileBytes(std::vector<uint8_t>{1, 2, 3}).has_value());
}

std::vector<std::string> Ordered(std::vector<FoundSpoolFile> files, const char* namePrefix = "") {
  SortInSpoolOrder(files, namePrefix);
  std::vector<std::string> names;
  for (const FoundSpoolFile& file : files) names.push_back(file.name);
  return names;
}

TEST(SpoolOrderTest, OldestWrittenFirstAndWithinOneTickByMomentAndSuffix) {
  const struct {
    const char* what;
    std::vector<FoundSpoolFile> files;
    const char* namePrefix;
    std::vector<std::string> expected;
  } cases[] = {
      {"the names repeat monthly: the time of writing decides",
       {{"5265C00.dd8", 2000}, {"A4CB7FFF.dd8", 1000}},
       "",
       {"A4CB7FFF.dd8", "5265C00.dd8"}},
      {"one tick: the moment in the name, then the suffix as a number",
       {{"1CB33733-10.dd8", 5}, {"1CB33733-2.dd8", 5}, {"1CB33733.dd8", 5}, {"1CB33732.dd8", 5}},
       "",
       {"1CB33732.dd8", "1CB33733.dd8", "1CB33733-2.dd8", "1CB33733-10.dd8"}},
      {"moments compare as numbers, not as text",
       {{"10000000.dd8", 5}, {"FFFFFFF.dd8", 5}, {"5265C00.dd8", 5}},
       "",
       {"5265C00.dd8", "FFFFFFF.dd8", "10000000.dd8"}},
      {"names of another shape after the readable ones of their tick",
       {{"copy of 1.dd8", 5}, {"1CB33733.DD8", 5}, {"x-1-.dd8", 5}, {"5265C00.dd8", 9}},
       "",
       {"1CB33733.DD8", "copy of 1.dd8", "x-1-.dd8", "5265C00.dd8"}},
      {"a name start before the moment",
       {{"ev1CB33733-1.dd8", 5}, {"ev1CB33733.dd8", 5}},
       "ev",
       {"ev1CB33733.dd8", "ev1CB33733-1.dd8"}},
      {"names made of a suffix alone when the clock could not name them",
       {{"-1.dd8", 5}, {".dd8", 5}},
       "",
       {".dd8", "-1.dd8"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Ordered(c.files, c.namePrefix), c.expected);
  }
}

}  // namespace
}  // namespace drv

namespace drv {
namespace {

TEST(CompactSpoolNameTest, NamesOfTheDriversShapeGoCompactAndComeBackTheSame) {
  struct Case {
    const char* name;
    uint32_t moment;
    uint16_t suffix;
  };
  const Case cases[] = {
      {"5265C00.dd8", 0x5265C00, 0},
      {"A4CB7FFF.dd8", 0xA4CB7FFF, 0},
      {"1CB33733-1.dd8", 0x1CB33733, 1},
      {"1CB33733-65535.dd8", 0x1CB33733, 65535},
      {"0.dd8", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<CompactSpoolName> compact = CompactFromSpoolName(c.name);
    ASSERT_TRUE(compact.has_value());
    EXPECT_EQ(compact->moment, c.moment);
    EXPECT_EQ(compact->suffix, c.suffix);
    EXPECT_EQ(SpoolNameFromCompact(*compact), c.name);
  }
}

TEST(CompactSpoolNameTest, NamesOfAnyOtherShapeStayText) {
  // Each would come back under another name, so it must be kept as it is; "-1.dd8" is what a
  // record is called when no name could be formed from the clock.
  for (const char* name :
       {"-1.dd8", "1cb33733.dd8", "01CB33733.dd8", "1CB33733.DD8", "1CB33733-01.dd8",
        "1CB33733-65536.dd8", "1CB33733-.dd8", "123456789.dd8", ".dd8", "1CB33733-1-2.dd8", "G.dd8",
        "1CB33733.dd8.bad", "ev1CB33733.dd8"}) {
    EXPECT_FALSE(CompactFromSpoolName(name).has_value()) << name;
  }
}

TEST(CompactSpoolNameTest, TemporaryFilesOfASpoolWriteAreKnownByTheirName) {
  EXPECT_TRUE(IsSpoolTemporaryName(".spool-4711-3.tmp"));
  EXPECT_FALSE(IsSpoolTemporaryName("spool-4711-3.tmp"));
  EXPECT_FALSE(IsSpoolTemporaryName(".spool-4711-3.dd8"));
}

}  // namespace
}  // namespace drv
