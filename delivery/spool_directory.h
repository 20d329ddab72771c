#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "delivery/spool_files.h"

namespace drv {

// Reads a spool file from the machine's file system: nullopt on failure, with the reason in
// *error when given. Never blocks on a pipe or device under a spool file's name.
std::optional<SpoolFileContent> ReadSpoolFile(const std::string& path,
                                              SpoolReadError* error = nullptr);

struct NewSpoolFile {
  std::string baseName;  // the name without ".dd8"; "-N" goes behind it when it is taken
  std::vector<uint8_t> bytes;
  // The file's time in ms since 1970; the file system's clock when not given.
  std::optional<int64_t> modifiedMs{};
};

enum class SetAsideResult { kMoved, kGone, kFailed };

// The name of the lock file that one driver holds in its spool directory.
inline constexpr char kSpoolLockFileName[] = ".drvtirval2000n.lock";

// The spool directory on disk: durable creation of spool files that never replaces one, listing,
// removal and setting aside, over a file system (the machine's own unless another is given).
class SpoolDirectory {
 public:
  // spoolPrefix is put directly before the file names: "/var/spool/drv/" names a directory, ""
  // the working directory, "/var/spool/drv/ev" files starting with "ev" in /var/spool/drv.
  explicit SpoolDirectory(std::string spoolPrefix, IFileSystem& fileSystem = RealFileSystem());

  const std::string& Prefix() const { return prefix_; }
  const SpoolLocation& Location() const { return location_; }

  // Writes the files as one durable batch: each in full under a temporary name that no search
  // finds, then given its spool name (never replacing a file), then files and names flushed.
  // Returns how many of the files, counted from the first, now lie durably under their spool
  // names, and appends their paths to *paths. It stops at the first failure, so that the files
  // on disk keep the order of the batch; when the final flush fails, none counts. The error
  // that stopped it goes to *error when given. At most one file is open at a time.
  std::size_t WriteNew(std::span<const NewSpoolFile> files, std::vector<std::string>* paths,
                       std::optional<FileError>* error = nullptr);

  // The location's spool files with the time each was written, in no particular order; empty
  // when the directory cannot be read.
  std::vector<FoundSpoolFile> List() const;
  // The same, one file at a time, without gathering them: `visit` returns false to stop.
  // False when the directory cannot be read.
  bool ForEachFile(const std::function<bool(const FoundSpoolFile&)>& visit) const;
  // The time a file of the directory (its name with the name prefix) was last written, in ns
  // since 1970; nullopt when it is not there or not a regular file.
  std::optional<int64_t> ModifiedNs(const std::string& name) const;
  // Removes the temporary files that writes cut short by a crash left behind.
  void RemoveTemporaries() const;

  // Reads a spool file as ReadSpoolFile does, through this directory's file system; the
  // system's error behind kCannotOpen and kReadFailed goes to *systemError when given.
  std::optional<SpoolFileContent> Read(const std::string& path, SpoolReadError* error = nullptr,
                                       std::optional<FileError>* systemError = nullptr) const;

  enum class LockResult { kLocked, kHeldByAnother, kUnavailable };
  // Takes the directory for this process with a lock file in it, held until the object goes;
  // kHeldByAnother when another process (or another object) holds it, kUnavailable when the
  // lock file cannot be made (the directory is missing or not writable).
  LockResult TryLock();

  // True when the file is gone afterwards, whoever removed it.
  bool Remove(const std::string& path) const;

  // Renames a damaged file to its name plus ".bad" (".1.bad", ... when taken), so that it is
  // kept for a person to look at and no longer sent.
  SetAsideResult SetAside(const std::string& path) const;

 private:
  class Names;

  IFileSystem& fileSystem_;
  std::string prefix_;
  SpoolLocation location_;
  OpenFile lock_;
  // Several records often share one millisecond; counting on from the last suffix used for the
  // same base name keeps finding a free name cheap.
  std::string lastBaseName_;
  unsigned nextSuffix_ = 0;
  unsigned tempCounter_ = 0;
};

}  // namespace drv
