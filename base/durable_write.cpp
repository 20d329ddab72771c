#include "base/durable_write.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>

#include "base/paths.h"

namespace drv {
namespace {

// Temporary names that are taken already (left by a crash, or another process's) are passed by.
constexpr int kMaxTemporaryAttempts = 100;
// Another program that reads a file (a reader of the settings, a virus scanner, an indexer)
// holds it open for a moment, and Windows refuses to replace it meanwhile. Such refusals are
// tried again for a short while.
constexpr int kBusyAttempts = 25;
constexpr std::chrono::milliseconds kBusyPause{4};

struct Temporary {
  std::string path;
  OpenFile file;
};

FileResult<Temporary> CreateTemporary(IFileSystem& fileSystem, NewFileAccess access,
                                      const std::function<std::string()>& nextPath) {
  for (int attempt = 1;; ++attempt) {
    std::string path = nextPath();
    FileResult<OpenFile> file = fileSystem.CreateNew(path, access);
    if (file) return Temporary{std::move(path), std::move(*file)};
    if (file.error().kind != FileErrorKind::kAlreadyExists || attempt == kMaxTemporaryAttempts) {
      return file.error();
    }
  }
}

// Removes a temporary file that will not be finished.
void Discard(IFileSystem& fileSystem, Temporary& temporary) {
  static_cast<void>(temporary.file.Close());
  static_cast<void>(fileSystem.Remove(temporary.path));
}

// Moves the written file at `from` to the first of the names offered that is free.
FileResult<std::string> MoveToFreeName(IFileSystem& fileSystem, const std::string& from,
                                       std::size_t index, INewFileNames& names) {
  FileError lastError{FileErrorKind::kAlreadyExists};
  for (unsigned taken = 0;; ++taken) {
    std::optional<std::string> path = names.FinalPath(index, taken);
    if (!path) return lastError;
    const FileResult<void> moved = fileSystem.RenameWithoutReplacing(from, *path);
    if (moved) {
      names.Named(index);
      return std::move(*path);
    }
    if (moved.error().kind != FileErrorKind::kAlreadyExists) return moved.error();
    lastError = moved.error();
  }
}

// One file of a batch, written and named; with `flushAsBatch` closed unflushed, else flushed
// and closed. Its path, or the error that left nothing of it behind.
FileResult<std::string> WriteOne(IFileSystem& fileSystem, const NewFileToWrite& file,
                                 std::size_t index, bool flushAsBatch, INewFileNames& names) {
  FileResult<Temporary> temporary = CreateTemporary(fileSystem, NewFileAccess::kUsual,
                                                    [&names] { return names.TemporaryPath(); });
  if (!temporary) return temporary.error();
  OpenFile& open = temporary->file;
  FileResult<void> done = fileSystem.WriteAll(open, file.bytes);
  if (done && file.modifiedNs) done = fileSystem.SetModifiedTime(open, *file.modifiedNs);
  // Closed before it is named, so that a delayed write error leaves no file under a final name.
  if (done && flushAsBatch) done = open.Close();
  // Named only once whole: a reader sees a whole file under a final name from the start.
  FileResult<std::string> path =
      done ? MoveToFreeName(fileSystem, temporary->path, index, names) : done.error();
  if (!path) {
    Discard(fileSystem, *temporary);
    return path.error();
  }
  if (!flushAsBatch) {
    // After the rename, so that one commit of the file system's journal carries both the bytes
    // and the name; before the close, which is where Windows must flush.
    done = fileSystem.Flush(open);
    if (done) done = open.Close();
    if (!done) {
      static_cast<void>(open.Close());
      static_cast<void>(fileSystem.Remove(*path));
      return done.error();
    }
  }
  return path;
}

FileResult<void> RenameReplacingWhenFree(IFileSystem& fileSystem, const std::string& from,
                                         const std::string& to) {
  for (int attempt = 1;; ++attempt) {
    FileResult<void> renamed = fileSystem.RenameReplacing(from, to);
    if (renamed || attempt == kBusyAttempts) return renamed;
    const FileErrorKind kind = renamed.error().kind;
    if (kind != FileErrorKind::kBusy && kind != FileErrorKind::kAccessDenied) return renamed;
    std::this_thread::sleep_for(kBusyPause);
  }
}

std::string DirectoryOf(const std::string& path) {
  for (std::size_t end = path.size(); end > 0; --end) {
    if (IsPathSeparator(path[end - 1])) return path.substr(0, end);
  }
  return {};
}

}  // namespace

NewFilesWritten WriteNewFilesDurably(IFileSystem& fileSystem, const std::string& directory,
                                     std::span<const NewFileToWrite> files, INewFileNames& names) {
  // A batch is flushed with one call where the system has one, each file closed once written,
  // so that no more than one is open at a time. One file alone is flushed by itself: cheaper
  // than a flush of the whole file system.
  const bool flushAsBatch = files.size() > 1 && fileSystem.FlushesBatches();
  NewFilesWritten written;
  for (std::size_t index = 0; index < files.size(); ++index) {
    FileResult<std::string> path = WriteOne(fileSystem, files[index], index, flushAsBatch, names);
    if (!path) {
      written.error = path.error();
      break;
    }
    written.paths.push_back(std::move(*path));
  }
  if (written.paths.empty()) return written;

  FileResult<void> flushed = flushAsBatch ? fileSystem.FlushBatch(directory) : FileResult<void>();
  if (flushed) flushed = fileSystem.FlushDirectory(directory);
  if (!flushed) {
    // Not known to be on the disk: the caller keeps what it has and writes it again later.
    for (const std::string& path : written.paths) static_cast<void>(fileSystem.Remove(path));
    written.paths.clear();
    written.error = flushed.error();
  }
  return written;
}

FileResult<void> ReplaceFileDurably(IFileSystem& fileSystem, const std::string& path,
                                    std::span<const uint8_t> bytes, NewFileAccess access) {
  const std::string target = fileSystem.ResolveLink(path);
  static std::atomic<unsigned> counter{0};
  const std::string stem = target + ".tmp-" + std::to_string(CurrentProcessId()) + "-";
  FileResult<Temporary> temporary = CreateTemporary(
      fileSystem, access, [&stem] { return stem + std::to_string(counter.fetch_add(1)); });
  if (!temporary) return temporary.error();
  OpenFile& file = temporary->file;
  // An owner-only file keeps the permissions it was made with: a secret is never open to others,
  // not even for a moment.
  FileResult<void> done;
  if (access == NewFileAccess::kUsual) done = fileSystem.MatchPermissions(file, target);
  if (done) done = fileSystem.WriteAll(file, bytes);
  if (done) done = fileSystem.Flush(file);
  if (done) done = file.Close();
  if (done) done = RenameReplacingWhenFree(fileSystem, temporary->path, target);
  if (!done) {
    Discard(fileSystem, *temporary);
    return done.error();
  }
  // The rename becomes durable with the directory. The file is replaced whatever this says.
  static_cast<void>(fileSystem.FlushDirectory(DirectoryOf(target)));
  return {};
}

}  // namespace drv
