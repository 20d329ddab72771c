// The error log with POSIX permissions.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/error_log.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

// "ошибка №" in Windows-1251.
const std::string kPrefix = "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9";

TEST(ErrorLogPosixTest, AWriteOnlyLogIsStillAppendedTo) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may read any file";
  testing::TempDir dir;
  const std::string path = ErrorLogPath(dir.Path().string());
  testing::WriteFileBytes(path, "old\r\n");
  ASSERT_EQ(::chmod(path.c_str(), 0200), 0);
  WriteErrorCode(path, 9);
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  EXPECT_EQ(testing::ReadFileBytes(path), "old\r\n" + kPrefix + "9\r\n");
}

}  // namespace
}  // namespace drv
