// A batch on the real disk in a process whose open-file limit is far below the batch's size.

#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/durable_write.h"
#include "tests/fakes/temp_dir.h"
#include "tests/support/child_process_posix.h"

namespace drv {
namespace {

class NumberedNames final : public INewFileNames {
 public:
  explicit NumberedNames(std::string directory) : directory_(std::move(directory)) {}
  std::string TemporaryPath() override { return directory_ + ".tmp-" + std::to_string(next_++); }
  std::optional<std::string> FinalPath(std::size_t index, unsigned taken) override {
    if (taken > 0) return std::nullopt;
    return directory_ + std::to_string(index) + ".dd8";
  }
  void Named(std::size_t) override {}

 private:
  std::string directory_;
  unsigned next_ = 0;
};

TEST(DurableWritePosixTest, ABatchFarLargerThanTheOpenFileLimitIsWrittenWhole) {
  testing::TempDir dir;
  const std::string directory = dir.Path().string() + "/";
  constexpr std::size_t kFiles = 500;
  const int code = testing::ExitCodeInChild([&directory] {
    const rlimit limit{24, 24};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 3;
    std::vector<std::string> contents;
    for (std::size_t i = 0; i < kFiles; ++i) contents.push_back("record " + std::to_string(i));
    std::vector<NewFileToWrite> files;
    for (const std::string& bytes : contents) {
      files.push_back({{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}});
    }
    NumberedNames names(directory);
    const NewFilesWritten written = WriteNewFilesDurably(RealFileSystem(), directory, files, names);
    return written.paths.size() == kFiles && !written.error ? 0 : 1;
  });
  ASSERT_EQ(code, 0);
  for (std::size_t i = 0; i < kFiles; ++i) {
    EXPECT_EQ(testing::ReadFileBytes(dir.Path() / (std::to_string(i) + ".dd8")),
              "record " + std::to_string(i));
  }
}

// Even a umask that lets everyone read new files, and a file readable by all before, leave a file
// made for its owner alone readable by nobody else.
TEST(DurableWritePosixTest, AFileForItsOwnerAloneIsMadeSoWhateverTheUmask) {
  testing::TempDir dir;
  const std::string fresh = (dir.Path() / "fresh").string();
  const std::string replaced = (dir.Path() / "replaced").string();
  testing::WriteFileBytes(replaced, "old");
  std::filesystem::permissions(replaced, std::filesystem::perms(0644));
  const int code = testing::ExitCodeInChild([&] {
    ::umask(0);
    const std::string bytes = "48213\n";
    const std::span<const uint8_t> span(reinterpret_cast<const uint8_t*>(bytes.data()),
                                        bytes.size());
    for (const std::string& path : {fresh, replaced}) {
      if (!ReplaceFileDurably(RealFileSystem(), path, span, NewFileAccess::kOwnerOnly)) return 1;
    }
    return 0;
  });
  ASSERT_EQ(code, 0);
  for (const std::string& path : {fresh, replaced}) {
    SCOPED_TRACE(path);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(testing::ReadFileBytes(path), "48213\n");
  }
}

}  // namespace
}  // namespace drv
