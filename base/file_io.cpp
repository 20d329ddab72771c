#include "base/file_io.h"

#include <chrono>
#include <thread>

#include "base/durable_write.h"
#include "base/file_system.h"

namespace drv {
namespace {

// Another program that reads the file (the session reading its section, a virus scanner, an
// indexer) holds it open for a moment, and Windows refuses an open while the file is being
// replaced. Such refusals are tried again for a short while.
constexpr int kBusyAttempts = 25;
constexpr std::chrono::milliseconds kBusyPause{4};

bool MayPassSoon(const FileError& error) {
  return error.kind == FileErrorKind::kBusy || error.kind == FileErrorKind::kAccessDenied;
}

std::span<const uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// True when the file is not empty and its last byte is no line end.
bool LastLineIsOpen(IFileSystem& fileSystem, const OpenFile& file) {
  const FileResult<uint64_t> size = fileSystem.Size(file);
  if (!size || *size == 0) return false;
  uint8_t last = 0;
  const FileResult<std::size_t> read = fileSystem.ReadAt(file, *size - 1, {&last, 1});
  return read && *read == 1 && last != '\n' && last != '\r';
}

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path, std::error_code& error) {
  IFileSystem& fileSystem = RealFileSystem();
  FileResult<OpenFile> file = fileSystem.OpenForReading(path);
  for (int attempt = 1; !file && MayPassSoon(file.error()) && attempt < kBusyAttempts; ++attempt) {
    std::this_thread::sleep_for(kBusyPause);
    file = fileSystem.OpenForReading(path);
  }
  if (!file) {
    error = file.error().ToErrorCode();
    return std::nullopt;
  }
  std::string bytes;
  uint8_t buffer[65536];
  for (;;) {
    const FileResult<std::size_t> got = fileSystem.Read(*file, buffer);
    if (!got) {
      error = got.error().ToErrorCode();
      return std::nullopt;
    }
    if (*got == 0) break;
    bytes.append(reinterpret_cast<const char*>(buffer), *got);
  }
  error.clear();
  return bytes;
}

bool AppendToFile(const std::string& path, std::string_view bytes, AppendMode mode,
                  std::error_code& error) {
  IFileSystem& fileSystem = RealFileSystem();
  // Reading is only needed to see whether the last line is complete.
  bool readable = mode == AppendMode::kOnOwnLine;
  FileResult<OpenFile> file = fileSystem.OpenForAppending(path, readable);
  if (!file && readable && file.error().kind == FileErrorKind::kAccessDenied) {
    readable = false;
    file = fileSystem.OpenForAppending(path, false);
  }
  if (!file) {
    error = file.error().ToErrorCode();
    return false;
  }
  std::string line;
  if (readable && LastLineIsOpen(fileSystem, *file)) line = "\r\n";
  line += bytes;
  FileResult<void> done = fileSystem.WriteAll(*file, AsBytes(line));
  if (done) done = file->Close();
  if (!done) {
    error = done.error().ToErrorCode();
    return false;
  }
  error.clear();
  return true;
}

void ReplaceFileAtomically(const std::string& path, const std::string& bytes) {
  const FileResult<void> replaced = ReplaceFileDurably(RealFileSystem(), path, AsBytes(bytes));
  if (!replaced) throw std::system_error(replaced.error().ToErrorCode(), "replace " + path);
}

bool IsDirectory(const std::string& path) {
  const FileResult<FileInfo> info = RealFileSystem().Status(path);
  return info && info->type == FileType::kDirectory;
}

std::optional<std::vector<std::string>> ListDirectory(const std::string& path,
                                                      std::error_code& error) {
  std::vector<std::string> names;
  const FileResult<void> listed = RealFileSystem().ListDirectory(
      path, "", [](std::string_view) { return true; },
      [&names](const DirectoryEntry& entry) {
        names.emplace_back(entry.name);
        return true;
      });
  if (!listed) {
    error = listed.error().ToErrorCode();
    return std::nullopt;
  }
  error.clear();
  return names;
}

std::optional<uint64_t> RegularFileSize(const std::string& path) {
  const FileResult<FileInfo> info = RealFileSystem().Status(path);
  if (!info || info->type != FileType::kRegular) return std::nullopt;
  return info->size;
}

std::string CurrentDirectory(std::error_code& error) {
  FileResult<std::string> directory = RealFileSystem().CurrentDirectory();
  if (!directory) {
    error = directory.error().ToErrorCode();
    return {};
  }
  error.clear();
  return std::move(*directory);
}

}  // namespace drv
