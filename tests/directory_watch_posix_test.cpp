#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "base/directory_watch.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
using drv::testing::TempDir;

// inotify tells of a watched directory that goes; the Windows watch is not told under Wine.
TEST(DirectoryWatchPosixTest, ADirectoryRemovedWhileWatchedLosesTrackOnceThenIsInactive) {
  TempDir dir;
  const fs::path watched = dir.Path() / "spool";
  fs::create_directory(watched);
  DirectoryWatch watch(watched.string() + "/");
  ASSERT_TRUE(watch.Active());
  fs::remove_all(watched);
  bool lostTrack = false;
  for (int i = 0; i < 500 && !lostTrack; ++i) {
    lostTrack = !watch.TakeArrivals().has_value();
    if (!lostTrack) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(lostTrack);
  EXPECT_FALSE(watch.Active());
  EXPECT_TRUE(watch.TakeArrivals().has_value());
}

}  // namespace
}  // namespace drv
