#include "delivery/spool_directory.h"

#include <algorithm>
#include <utility>

#include "delivery/spool_file_system.h"

namespace drv {
namespace spool_file_system {

std::optional<SpoolFileContent> ReadToEndAndParse(std::size_t sizeWhenOpened,
                                                  const ReadSome& readSome,
                                                  SpoolReadError& result) {
  if (sizeWhenOpened > kMaxSpoolFileSize) {
    result = SpoolReadError::kTooLarge;
    return std::nullopt;
  }
  // One byte more than the size, so that a file that grew is noticed.
  std::vector<uint8_t> bytes(sizeWhenOpened + 1);
  std::size_t total = 0;
  for (;;) {
    if (total == bytes.size()) {
      if (bytes.size() > kMaxSpoolFileSize) {
        result = SpoolReadError::kTooLarge;
        return std::nullopt;
      }
      bytes.resize(std::min(bytes.size() * 2, kMaxSpoolFileSize + 1));
    }
    const std::ptrdiff_t count = readSome(bytes.data() + total, bytes.size() - total);
    if (count < 0) {
      result = SpoolReadError::kReadFailed;
      return std::nullopt;
    }
    if (count == 0) break;
    total += static_cast<std::size_t>(count);
  }
  std::optional<SpoolFileContent> content = ParseSpoolFileBytes({bytes.data(), total});
  result = content ? SpoolReadError::kNone
                   : (total == 0 ? SpoolReadError::kEmpty : SpoolReadError::kTooShort);
  return content;
}

}  // namespace spool_file_system

namespace {

using spool_file_system::MoveResult;
using spool_file_system::MoveWithoutReplacing;

// How many "-N" suffixes are tried before a spool file counts as unwritable.
constexpr unsigned kMaxNameAttempts = 100000;
constexpr unsigned kMaxSetAsideAttempts = 1000;

}  // namespace

SpoolDirectory::SpoolDirectory(std::string spoolPrefix)
    : prefix_(std::move(spoolPrefix)), location_(SplitSpoolPrefix(prefix_)) {}

std::optional<std::string> SpoolDirectory::MoveToSpoolName(const std::string& from,
                                                           const std::string& baseName) {
  if (baseName != lastBaseName_) {
    lastBaseName_ = baseName;
    nextSuffix_ = 0;
  }
  for (unsigned attempt = 0; attempt < kMaxNameAttempts; ++attempt, ++nextSuffix_) {
    std::string path = prefix_ + baseName +
                       (nextSuffix_ == 0 ? "" : "-" + std::to_string(nextSuffix_)) +
                       std::string(kSpoolFileExtension);
    const MoveResult result = MoveWithoutReplacing(from, path);
    if (result == MoveResult::kMoved) {
      ++nextSuffix_;
      return path;
    }
    if (result != MoveResult::kTargetExists) return std::nullopt;
  }
  return std::nullopt;
}

std::vector<FoundSpoolFile> SpoolDirectory::List() const {
  std::vector<FoundSpoolFile> found;
  ForEachFile([&found](const FoundSpoolFile& file) {
    found.push_back(file);
    return true;
  });
  return found;
}

SetAsideResult SpoolDirectory::SetAside(const std::string& path) const {
  for (unsigned attempt = 0; attempt < kMaxSetAsideAttempts; ++attempt) {
    const std::string target = path + (attempt == 0 ? "" : "." + std::to_string(attempt)) +
                               std::string(kSetAsideExtension);
    switch (MoveWithoutReplacing(path, target)) {
      case MoveResult::kMoved:
        return SetAsideResult::kMoved;
      case MoveResult::kSourceMissing:
        return SetAsideResult::kGone;
      case MoveResult::kFailed:
        return SetAsideResult::kFailed;
      case MoveResult::kTargetExists:
        break;
    }
  }
  return SetAsideResult::kFailed;
}

}  // namespace drv
