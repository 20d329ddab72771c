// What only POSIX systems put under a spool file's name.

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

}  // namespace
}  // namespace drv
