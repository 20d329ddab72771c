#include "base/paths.h"

#include <gtest/gtest.h>

#include <string>

namespace drv {
namespace {

const bool kWindows = PathSeparator() == '\\';

// Each case with what POSIX systems and Windows make of it.
TEST(PathsTest, JoinsADirectoryAndANameWithOneSeparator) {
  struct Case {
    std::string directory;
    std::string name;
    std::string posix;
    std::string windows;
  };
  const Case cases[] = {
      {"", "error.txt", "error.txt", "error.txt"},
      {"/w", "error.txt", "/w/error.txt", "/w\\error.txt"},
      {"/w/", "error.txt", "/w/error.txt", "/w/error.txt"},
      {"C:\\drv", "error.txt", "C:\\drv/error.txt", "C:\\drv\\error.txt"},
      {"C:\\drv\\", "error.txt", "C:\\drv\\/error.txt", "C:\\drv\\error.txt"},
      // An empty name gives the directory as a prefix that names it.
      {"C:\\drv", "", "C:\\drv/", "C:\\drv\\"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directory + " + " + c.name);
    EXPECT_EQ(JoinPath(c.directory, c.name), kWindows ? c.windows : c.posix);
  }
}

TEST(PathsTest, TellsPathsThatDoNotCountFromTheWorkingDirectory) {
  struct Case {
    std::string path;
    bool posix;
    bool windows;
  };
  const Case cases[] = {
      {"/var/spool/", true, true}, {"spool\\", false, false},
      {"", false, false},          {"\\\\server\\share\\", false, true},
      {"\\spool\\", false, true},  {"C:\\spool\\", false, true},
      {"d:spool", false, true},    {"1:\\spool", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(IsAbsolutePath(c.path), kWindows ? c.windows : c.posix);
  }
  EXPECT_TRUE(IsPathSeparator('/'));
  EXPECT_EQ(IsPathSeparator('\\'), kWindows);
  EXPECT_FALSE(IsPathSeparator(':'));
}

}  // namespace
}  // namespace drv
