#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/file_system.h"

namespace drv {

// Writes that survive a crash or a power cut the moment they return, over any file system:
// new files that never replace one, and one file replaced whole.

struct NewFileToWrite {
  std::span<const uint8_t> bytes;
  // The file's time, when it must tell another moment than the write's (ns since 1970).
  std::optional<int64_t> modifiedNs{};
};

// The names of a batch of new files.
class INewFileNames {
 public:
  virtual ~INewFileNames() = default;
  // A path for the next temporary file, in the files' directory, that no search for finished
  // files matches.
  virtual std::string TemporaryPath() = 0;
  // The path to try for file `index` after `taken` paths offered for it were found taken;
  // nullopt to give up.
  virtual std::optional<std::string> FinalPath(std::size_t index, unsigned taken) = 0;
  // File `index` now has the path offered last.
  virtual void Named(std::size_t index) = 0;
};

struct NewFilesWritten {
  // The files, counted from the first, that now lie durably under their final names.
  std::vector<std::string> paths;
  // What stopped the batch short.
  std::optional<FileError> error;
};

// Writes each file in full under a temporary name, then gives it its final name without ever
// replacing a file, so that a reader sees only whole files under final names; flushes the batch
// and the directory's names to the disk. Stops at the first failure, so that the files on disk
// keep the batch's order; when the last flushes fail, none counts and the named files are
// removed again. Keeps at most one file open at a time, whatever the batch's size.
NewFilesWritten WriteNewFilesDurably(IFileSystem& fileSystem, const std::string& directory,
                                     std::span<const NewFileToWrite> files, INewFileNames& names);

// Replaces the file at `path` (or makes it) by one holding `bytes`, so that a crash leaves
// either the old or the new file, never a mixture: a temporary file beside it, flushed to the
// disk, renamed over the old one. The replaced file's permissions stay, a symbolic link stays
// a link, and a file that may not be written is not replaced. On any failure the old file is
// as it was and no temporary file is left. With NewFileAccess::kOwnerOnly the new file is its
// owner's alone from its creation on, whatever the replaced one allowed: for a secret.
FileResult<void> ReplaceFileDurably(IFileSystem& fileSystem, const std::string& path,
                                    std::span<const uint8_t> bytes,
                                    NewFileAccess access = NewFileAccess::kUsual);

}  // namespace drv
