// What only POSIX systems put under a spool file's name, and their file times.

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "delivery/spool_directory.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

TEST(ReadSpoolFilePosixTest, APipeUnderASpoolFilesNameIsNoFileAndDoesNotBlock) {
  testing::TempDir dir;
  ASSERT_EQ(::mkfifo(dir.File("pipe.dd8").c_str(), 0600), 0);
  // Must come back at once rather than wait for a writer.
  SpoolReadError error = SpoolReadError::kNone;
  EXPECT_FALSE(ReadSpoolFile(dir.File("pipe.dd8"), &error).has_value());
  EXPECT_EQ(error, SpoolReadError::kNotRegularFile);
}

// The listing keeps the file system's nanoseconds.
TEST(SpoolDirectoryPosixTest, ListsWriteTimesToTheNanosecond) {
  testing::TempDir dir;
  testing::WriteFileBytes(dir.Path() / "5265C00.dd8", "abcd");
  const timespec times[2] = {{0, UTIME_OMIT}, {1234, 567}};
  ASSERT_EQ(::utimensat(AT_FDCWD, dir.File("5265C00.dd8").c_str(), times, 0), 0);
  const std::vector<FoundSpoolFile> found = SpoolDirectory(dir.Path().string() + "/").List();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].modifiedNs, 1234000000567);
}

}  // namespace
}  // namespace drv
