// Writing the settings file back keeps what POSIX file systems attach to it.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/driver_settings.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

TEST(DriverSettingsPosixTest, SaveComPortKeepsPermissionsAndSymbolicLinks) {
  testing::TempDir dir;
  const std::string path = SettingsPath(dir.Path().string());
  WriteFileBytes(path, "[main]\nComPort=COM1\n");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  SaveComPort(path, "COM2");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  const std::string link = dir.File("link.ini");
  fs::create_symlink(path, link);
  SaveComPort(link, "COM3");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFileBytes(path), "[main]\nComPort=COM3\n");
}

}  // namespace
}  // namespace drv
