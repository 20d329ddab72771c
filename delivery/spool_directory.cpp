#include "delivery/spool_directory.h"

#include <algorithm>
#include <utility>

#include "base/durable_write.h"

namespace drv {
namespace {

// How many "-N" suffixes are tried before a spool file counts as unwritable.
constexpr unsigned kMaxNameAttempts = 100000;
constexpr unsigned kMaxSetAsideAttempts = 1000;

// Reads a spool file to its end, starting from the size it had when opened (it may still be
// changing), and parses it; on failure nullopt with the reason in result.
std::optional<SpoolFileContent> ReadOpenSpoolFile(IFileSystem& fileSystem, const OpenFile& file,
                                                  SpoolReadError& result,
                                                  std::optional<FileError>& systemError) {
  const FileResult<uint64_t> size = fileSystem.Size(file);
  if (!size) {
    result = SpoolReadError::kReadFailed;
    systemError = size.error();
    return std::nullopt;
  }
  if (*size > kMaxSpoolFileSize) {
    result = SpoolReadError::kTooLarge;
    return std::nullopt;
  }
  // One byte more than the size, so that a file that grew is noticed.
  std::vector<uint8_t> bytes(static_cast<std::size_t>(*size) + 1);
  std::size_t total = 0;
  for (;;) {
    if (total == bytes.size()) {
      if (bytes.size() > kMaxSpoolFileSize) {
        result = SpoolReadError::kTooLarge;
        return std::nullopt;
      }
      bytes.resize(std::min(bytes.size() * 2, kMaxSpoolFileSize + 1));
    }
    const FileResult<std::size_t> count =
        fileSystem.Read(file, std::span<uint8_t>(bytes).subspan(total));
    if (!count) {
      result = SpoolReadError::kReadFailed;
      systemError = count.error();
      return std::nullopt;
    }
    if (*count == 0) break;
    total += *count;
  }
  std::optional<SpoolFileContent> content = ParseSpoolFileBytes({bytes.data(), total});
  result = content ? SpoolReadError::kNone
                   : (total == 0 ? SpoolReadError::kEmpty : SpoolReadError::kTooShort);
  return content;
}

std::optional<SpoolFileContent> ReadSpoolFileFrom(IFileSystem& fileSystem, const std::string& path,
                                                  SpoolReadError* error,
                                                  std::optional<FileError>* systemError) {
  SpoolReadError ignoredReason;
  std::optional<FileError> ignoredError;
  SpoolReadError& result = error != nullptr ? *error : ignoredReason;
  std::optional<FileError>& system = systemError != nullptr ? *systemError : ignoredError;
  result = SpoolReadError::kNone;
  system.reset();

  const FileResult<OpenFile> file = fileSystem.OpenForReading(path);
  if (!file) {
    switch (file.error().kind) {
      case FileErrorKind::kNotFound:
        result = SpoolReadError::kNotFound;
        break;
      case FileErrorKind::kNotRegularFile:
        result = SpoolReadError::kNotRegularFile;
        break;
      default:
        result = SpoolReadError::kCannotOpen;
        system = file.error();
        break;
    }
    return std::nullopt;
  }
  return ReadOpenSpoolFile(fileSystem, *file, result, system);
}

}  // namespace

std::optional<SpoolFileContent> ReadSpoolFile(const std::string& path, SpoolReadError* error) {
  return ReadSpoolFileFrom(RealFileSystem(), path, error, nullptr);
}

// The spool's names for a batch: temporary names that IsSpoolTemporaryName knows, and the base
// name of each file with "-N" behind it while a name is taken.
class SpoolDirectory::Names final : public INewFileNames {
 public:
  Names(SpoolDirectory& directory, std::span<const NewSpoolFile> files)
      : directory_(directory), files_(files) {}

  std::string TemporaryPath() override {
    return directory_.location_.directory + ".spool-" + std::to_string(CurrentProcessId()) + "-" +
           std::to_string(directory_.tempCounter_++) + ".tmp";
  }

  std::optional<std::string> FinalPath(std::size_t index, unsigned taken) override {
    const std::string& baseName = files_[index].baseName;
    if (taken == 0 && baseName != directory_.lastBaseName_) {
      directory_.lastBaseName_ = baseName;
      directory_.nextSuffix_ = 0;
    }
    if (taken > 0) ++directory_.nextSuffix_;
    if (taken >= kMaxNameAttempts) return std::nullopt;
    const unsigned suffix = directory_.nextSuffix_;
    return directory_.prefix_ + baseName + (suffix == 0 ? "" : "-" + std::to_string(suffix)) +
           std::string(kSpoolFileExtension);
  }

  void Named(std::size_t /*index*/) override { ++directory_.nextSuffix_; }

 private:
  SpoolDirectory& directory_;
  std::span<const NewSpoolFile> files_;
};

SpoolDirectory::SpoolDirectory(std::string spoolPrefix, IFileSystem& fileSystem)
    : fileSystem_(fileSystem),
      prefix_(std::move(spoolPrefix)),
      location_(SplitSpoolPrefix(prefix_)) {}

std::size_t SpoolDirectory::WriteNew(std::span<const NewSpoolFile> files,
                                     std::vector<std::string>* paths,
                                     std::optional<FileError>* error) {
  std::vector<NewFileToWrite> toWrite;
  toWrite.reserve(files.size());
  for (const NewSpoolFile& file : files) {
    std::optional<int64_t> modifiedNs;
    if (file.modifiedMs) modifiedNs = *file.modifiedMs * 1000000;
    toWrite.push_back({file.bytes, modifiedNs});
  }
  Names names(*this, files);
  NewFilesWritten written = WriteNewFilesDurably(fileSystem_, location_.directory, toWrite, names);
  if (error != nullptr) *error = written.error;
  for (std::string& path : written.paths) paths->push_back(std::move(path));
  return written.paths.size();
}

std::vector<FoundSpoolFile> SpoolDirectory::List() const {
  std::vector<FoundSpoolFile> found;
  ForEachFile([&found](const FoundSpoolFile& file) {
    found.push_back(file);
    return true;
  });
  return found;
}

bool SpoolDirectory::ForEachFile(const std::function<bool(const FoundSpoolFile&)>& visit) const {
  const std::string& namePrefix = location_.namePrefix;
  return fileSystem_
      .ListDirectory(
          location_.directory, namePrefix,
          [&namePrefix](std::string_view name) { return IsSpoolFileName(name, namePrefix); },
          [&visit](const DirectoryEntry& entry) {
            return visit({std::string(entry.name), entry.info.modifiedNs, entry.info.size});
          })
      .has_value();
}

std::optional<int64_t> SpoolDirectory::ModifiedNs(const std::string& name) const {
  const FileResult<FileInfo> info = fileSystem_.Status(location_.directory + name);
  if (!info || info->type != FileType::kRegular) return std::nullopt;
  return info->modifiedNs;
}

void SpoolDirectory::RemoveTemporaries() const {
  std::vector<std::string> temporaries;
  static_cast<void>(fileSystem_.ListDirectory(
      location_.directory, ".spool-",
      [](std::string_view name) { return IsSpoolTemporaryName(name); },
      [&temporaries](const DirectoryEntry& entry) {
        temporaries.emplace_back(entry.name);
        return true;
      }));
  for (const std::string& name : temporaries) {
    static_cast<void>(fileSystem_.Remove(location_.directory + name));
  }
}

std::optional<SpoolFileContent> SpoolDirectory::Read(const std::string& path, SpoolReadError* error,
                                                     std::optional<FileError>* systemError) const {
  return ReadSpoolFileFrom(fileSystem_, path, error, systemError);
}

SpoolDirectory::LockResult SpoolDirectory::TryLock() {
  if (lock_.IsOpen()) return LockResult::kLocked;
  FileResult<OpenFile> lock = fileSystem_.LockExclusively(location_.directory + kSpoolLockFileName);
  if (!lock) {
    return lock.error().kind == FileErrorKind::kBusy ? LockResult::kHeldByAnother
                                                     : LockResult::kUnavailable;
  }
  lock_ = std::move(*lock);
  return LockResult::kLocked;
}

bool SpoolDirectory::Remove(const std::string& path) const {
  const FileResult<void> removed = fileSystem_.Remove(path);
  return removed || removed.error().kind == FileErrorKind::kNotFound;
}

SetAsideResult SpoolDirectory::SetAside(const std::string& path) const {
  for (unsigned attempt = 0; attempt < kMaxSetAsideAttempts; ++attempt) {
    const std::string target = path + (attempt == 0 ? "" : "." + std::to_string(attempt)) +
                               std::string(kSetAsideExtension);
    const FileResult<void> moved = fileSystem_.RenameWithoutReplacing(path, target);
    if (moved) return SetAsideResult::kMoved;
    switch (moved.error().kind) {
      case FileErrorKind::kNotFound:
        return SetAsideResult::kGone;
      case FileErrorKind::kAlreadyExists:
        break;
      default:
        return SetAsideResult::kFailed;
    }
  }
  return SetAsideResult::kFailed;
}

}  // namespace drv
