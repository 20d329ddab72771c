#include "base/directory_watch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
using drv::testing::TempDir;
using drv::testing::WriteFileBytes;
using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::Not;

class DirectoryWatchTest : public ::testing::Test {
 protected:
  DirectoryWatchTest() { fs::create_directory(watched); }

  std::string Directory() const { return watched.string() + "/"; }

  // What arrives within a few seconds, until `name` is among it; the system may report late.
  static std::vector<std::string> ArrivalsUntil(DirectoryWatch& watch, const std::string& name) {
    std::vector<std::string> all;
    for (int i = 0; i < 500 && std::find(all.begin(), all.end(), name) == all.end(); ++i) {
      std::optional<std::vector<std::string>> some = watch.TakeArrivals();
      if (!some) {
        ADD_FAILURE() << "the watch lost track";
        break;
      }
      all.insert(all.end(), some->begin(), some->end());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return all;
  }

  TempDir dir;
  const fs::path watched = dir.Path() / "spool";
};

TEST_F(DirectoryWatchTest, FilesMovedInWrittenInPlaceOrLinkedInAreReported) {
  DirectoryWatch watch(Directory());
  ASSERT_TRUE(watch.Active());
  EXPECT_THAT(*watch.TakeArrivals(), IsEmpty());

  WriteFileBytes(dir.Path() / "outside.dd8", "moved");
  fs::rename(dir.Path() / "outside.dd8", watched / "moved.dd8");
  EXPECT_THAT(ArrivalsUntil(watch, "moved.dd8"), Contains("moved.dd8"));

  WriteFileBytes(watched / "written.dd8", "written in place");
  EXPECT_THAT(ArrivalsUntil(watch, "written.dd8"), Contains("written.dd8"));

  // A hard link is a new name for a file that is already whole: it is neither moved nor written.
  WriteFileBytes(dir.Path() / "kept.dd8", "linked");
  fs::create_hard_link(dir.Path() / "kept.dd8", watched / "linked.dd8");
  EXPECT_THAT(ArrivalsUntil(watch, "linked.dd8"), Contains("linked.dd8"));
}

TEST_F(DirectoryWatchTest, ArrivalsInOtherDirectoriesAreNotReported) {
  fs::create_directory(dir.Path() / "other");
  DirectoryWatch watch(Directory());
  WriteFileBytes(dir.Path() / "other" / "elsewhere.dd8", "x");
  WriteFileBytes(watched / "here.dd8", "x");
  EXPECT_THAT(ArrivalsUntil(watch, "here.dd8"), Not(Contains("elsewhere.dd8")));
}

TEST_F(DirectoryWatchTest, AMissingDirectoryGivesAnInactiveWatchThatReportsNothing) {
  DirectoryWatch watch((dir.Path() / "missing").string() + "/");
  EXPECT_FALSE(watch.Active());
  const std::optional<std::vector<std::string>> arrivals = watch.TakeArrivals();
  ASSERT_TRUE(arrivals.has_value());
  EXPECT_THAT(*arrivals, IsEmpty());
}

}  // namespace
}  // namespace drv
