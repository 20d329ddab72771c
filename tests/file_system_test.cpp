// What every file system behind the seam does, the machine's own and the fake the other tests
// use: the same cases run on both, so that the fake cannot drift from the real thing.

#include "base/file_system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "base/paths.h"
#include "tests/fakes/fake_file_system.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

std::span<const uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

enum class Kind { kReal, kFake };

class FileSystemTest : public ::testing::TestWithParam<Kind> {
 protected:
  FileSystemTest() {
    if (GetParam() == Kind::kReal) {
      disk_ = std::make_unique<testing::TempDir>();
      root_ = JoinPath(disk_->Path().string(), "");
      fileSystem_ = &RealFileSystem();
    } else {
      fake_.AddDirectory("/t");
      root_ = "/t/";
      fileSystem_ = &fake_;
    }
  }

  IFileSystem& Fs() { return *fileSystem_; }
  std::string Path(const std::string& name) const { return root_ + name; }
  const std::string& Root() const { return root_; }

  // A file with `bytes` made through the seam and closed.
  void Make(const std::string& name, std::string_view bytes) {
    FileResult<OpenFile> file = Fs().CreateNew(Path(name), NewFileAccess::kUsual);
    ASSERT_TRUE(file) << file.error().Message();
    ASSERT_TRUE(Fs().WriteAll(*file, AsBytes(bytes)));
    ASSERT_TRUE(file->Close());
  }

  std::string ReadAll(const std::string& name) {
    FileResult<OpenFile> file = Fs().OpenForReading(Path(name));
    if (!file) return "<" + file.error().Message() + ">";
    std::string bytes;
    uint8_t buffer[7];  // small, so that reading goes on where it stopped
    for (;;) {
      const FileResult<std::size_t> got = Fs().Read(*file, buffer);
      if (!got || *got == 0) break;
      bytes.append(reinterpret_cast<const char*>(buffer), *got);
    }
    return bytes;
  }

  std::vector<std::string> Names() {
    std::vector<std::string> names;
    const FileResult<void> listed = Fs().ListDirectory(
        Root(), "", [](std::string_view) { return true; },
        [&names](const DirectoryEntry& entry) {
          names.emplace_back(entry.name);
          return true;
        });
    EXPECT_TRUE(listed);
    return names;
  }

  static FileErrorKind KindOf(const FileResult<void>& result) {
    return result ? FileErrorKind::kOther : result.error().kind;
  }
  template <typename T>
  static FileErrorKind KindOf(const FileResult<T>& result) {
    return result ? FileErrorKind::kOther : result.error().kind;
  }

 private:
  testing::FakeFileSystem fake_;
  std::unique_ptr<testing::TempDir> disk_;
  std::string root_;
  IFileSystem* fileSystem_ = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Both, FileSystemTest, ::testing::Values(Kind::kReal, Kind::kFake),
                         [](const auto& test) {
                           return test.param == Kind::kReal ? "Real" : "Fake";
                         });

TEST_P(FileSystemTest, ANewFileIsMadeOnlyWhereNoneIs) {
  Make("a.txt", "first");
  EXPECT_EQ(KindOf(Fs().CreateNew(Path("a.txt"), NewFileAccess::kUsual)),
            FileErrorKind::kAlreadyExists);
  EXPECT_EQ(ReadAll("a.txt"), "first");
  EXPECT_EQ(KindOf(Fs().CreateNew(Path("missing/a.txt"), NewFileAccess::kUsual)),
            FileErrorKind::kNotFound);
}

TEST_P(FileSystemTest, ARenameWithoutReplacingNeverReplaces) {
  Make("a.txt", "a");
  Make("b.txt", "b");
  EXPECT_EQ(KindOf(Fs().RenameWithoutReplacing(Path("a.txt"), Path("b.txt"))),
            FileErrorKind::kAlreadyExists);
  EXPECT_EQ(ReadAll("a.txt"), "a");
  EXPECT_EQ(ReadAll("b.txt"), "b");

  EXPECT_TRUE(Fs().RenameWithoutReplacing(Path("a.txt"), Path("c.txt")));
  EXPECT_EQ(ReadAll("c.txt"), "a");
  EXPECT_EQ(KindOf(Fs().RenameWithoutReplacing(Path("a.txt"), Path("d.txt"))),
            FileErrorKind::kNotFound);
  EXPECT_THAT(Names(), UnorderedElementsAre("b.txt", "c.txt"));

  EXPECT_TRUE(Fs().RenameReplacing(Path("c.txt"), Path("b.txt")));
  EXPECT_EQ(ReadAll("b.txt"), "a");
  EXPECT_THAT(Names(), UnorderedElementsAre("b.txt"));
}

// A file is renamed, and removed, while still open for writing.
TEST_P(FileSystemTest, AnOpenFileCanBeRenamedWrittenOnAndFlushed) {
  FileResult<OpenFile> file = Fs().CreateNew(Path("t.tmp"), NewFileAccess::kUsual);
  ASSERT_TRUE(file);
  ASSERT_TRUE(Fs().WriteAll(*file, AsBytes("abc")));
  ASSERT_TRUE(Fs().RenameWithoutReplacing(Path("t.tmp"), Path("final.txt")));
  ASSERT_TRUE(Fs().WriteAll(*file, AsBytes("def")));
  EXPECT_TRUE(Fs().Flush(*file));
  EXPECT_TRUE(file->Close());
  EXPECT_EQ(ReadAll("final.txt"), "abcdef");
  if (Fs().FlushesBatches()) {
    EXPECT_TRUE(Fs().FlushBatch(Root()));
  }
  EXPECT_TRUE(Fs().FlushDirectory(Root()));
}

TEST_P(FileSystemTest, RemovingTellsWhetherTheFileWasThere) {
  Make("a.txt", "a");
  EXPECT_TRUE(Fs().Remove(Path("a.txt")));
  EXPECT_EQ(KindOf(Fs().Remove(Path("a.txt"))), FileErrorKind::kNotFound);
  EXPECT_EQ(KindOf(Fs().OpenForReading(Path("a.txt"))), FileErrorKind::kNotFound);
}

TEST_P(FileSystemTest, AListingGivesNamesSizesTimesAndKinds) {
  for (const auto& [name, bytes, time] : {std::tuple{"a.dd8", "1234", int64_t{1234000000000}},
                                          std::tuple{"b.dd8", "", int64_t{1700000000123456700}},
                                          std::tuple{"c.txt", "x", int64_t{0}}}) {
    FileResult<OpenFile> file = Fs().CreateNew(Path(name), NewFileAccess::kUsual);
    ASSERT_TRUE(file);
    ASSERT_TRUE(Fs().WriteAll(*file, AsBytes(bytes)));
    ASSERT_TRUE(Fs().SetModifiedTime(*file, time));
    ASSERT_TRUE(file->Close());
  }
  if (GetParam() == Kind::kReal) {
    ASSERT_TRUE(std::filesystem::create_directory(Path("sub.dd8")));
  } else {
    static_cast<testing::FakeFileSystem&>(Fs()).AddDirectory(Path("sub.dd8"));
  }

  struct Seen {
    std::string name;
    FileType type;
    uint64_t size;
    int64_t modifiedNs;
    bool operator==(const Seen&) const = default;
  };
  std::vector<Seen> seen;
  const FileResult<void> listed = Fs().ListDirectory(
      Root(), "", [](std::string_view name) { return name.ends_with(".dd8"); },
      [&seen](const DirectoryEntry& entry) {
        // A directory's size and time say nothing here.
        const bool regular = entry.info.type == FileType::kRegular;
        seen.push_back({std::string(entry.name), entry.info.type, regular ? entry.info.size : 0,
                        regular ? entry.info.modifiedNs : -1});
        return true;
      });
  ASSERT_TRUE(listed);
  EXPECT_THAT(seen, UnorderedElementsAre(Seen{"a.dd8", FileType::kRegular, 4, 1234000000000},
                                         Seen{"b.dd8", FileType::kRegular, 0, 1700000000123456700},
                                         Seen{"sub.dd8", FileType::kDirectory, 0, -1}));

  // The visitor ends the listing.
  int visits = 0;
  EXPECT_TRUE(Fs().ListDirectory(
      Root(), "", [](std::string_view) { return true; },
      [&visits](const DirectoryEntry&) { return ++visits < 2; }));
  EXPECT_EQ(visits, 2);

  EXPECT_EQ(KindOf(Fs().ListDirectory(
                Path("missing"), "", [](std::string_view) { return true; },
                [](const DirectoryEntry&) { return true; })),
            FileErrorKind::kNotFound);
}

TEST_P(FileSystemTest, StatusTellsWhatIsThere) {
  Make("a.txt", "12345");
  const FileResult<FileInfo> file = Fs().Status(Path("a.txt"));
  ASSERT_TRUE(file);
  EXPECT_EQ(file->type, FileType::kRegular);
  EXPECT_EQ(file->size, 5u);
  const FileResult<FileInfo> directory = Fs().Status(Root());
  ASSERT_TRUE(directory);
  EXPECT_EQ(directory->type, FileType::kDirectory);
  EXPECT_EQ(KindOf(Fs().Status(Path("missing"))), FileErrorKind::kNotFound);
}

TEST_P(FileSystemTest, ReadingGoesOnWhereItStoppedOrAtAnyPlace) {
  Make("a.txt", "0123456789abcdef");
  EXPECT_EQ(ReadAll("a.txt"), "0123456789abcdef");
  FileResult<OpenFile> file = Fs().OpenForReading(Path("a.txt"));
  ASSERT_TRUE(file);
  EXPECT_EQ(*Fs().Size(*file), 16u);
  uint8_t two[2] = {};
  ASSERT_EQ(*Fs().ReadAt(*file, 14, two), 2u);
  EXPECT_EQ(std::string(two, two + 2), "ef");
  EXPECT_EQ(*Fs().ReadAt(*file, 16, two), 0u);

  EXPECT_EQ(KindOf(Fs().OpenForReading(Root())), FileErrorKind::kNotRegularFile);
}

TEST_P(FileSystemTest, AppendingWritesAtTheEndAndMakesAMissingFile) {
  Make("log.txt", "old\r\n");
  for (const char* name : {"log.txt", "new.txt"}) {
    FileResult<OpenFile> file = Fs().OpenForAppending(Path(name), true);
    ASSERT_TRUE(file);
    ASSERT_TRUE(Fs().WriteAll(*file, AsBytes("line\r\n")));
    ASSERT_TRUE(file->Close());
  }
  EXPECT_EQ(ReadAll("log.txt"), "old\r\nline\r\n");
  EXPECT_EQ(ReadAll("new.txt"), "line\r\n");
  EXPECT_EQ(KindOf(Fs().OpenForAppending(Path("missing/log.txt"), false)),
            FileErrorKind::kNotFound);
}

// One driver per spool directory: a second holder is refused until the first lets go.
TEST_P(FileSystemTest, ALockHasOneHolderAtATime) {
  FileResult<OpenFile> first = Fs().LockExclusively(Path(".lock"));
  ASSERT_TRUE(first) << first.error().Message();
  EXPECT_EQ(KindOf(Fs().LockExclusively(Path(".lock"))), FileErrorKind::kBusy);
  ASSERT_TRUE(first->Close());
  EXPECT_TRUE(Fs().LockExclusively(Path(".lock")));
  EXPECT_EQ(KindOf(Fs().LockExclusively(Path("missing/.lock"))), FileErrorKind::kNotFound);
}

}  // namespace
}  // namespace drv
