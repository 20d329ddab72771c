#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "delivery/spool_files.h"

// What the spool directory needs of the platform's file system beyond its own platform file
// pair: spool_directory.cpp builds the naming and the reading rules on these.
namespace drv::spool_file_system {

enum class MoveResult { kMoved, kTargetExists, kSourceMissing, kFailed };

// Renames a file without ever replacing one under the new name. One definition per platform.
MoveResult MoveWithoutReplacing(const std::string& from, const std::string& to);

// Reads an open file into at most kMaxSpoolFileSize + 1 bytes: the count read (0 at the end) or
// a negative number on an error.
using ReadSome = std::function<std::ptrdiff_t(uint8_t* into, std::size_t room)>;

// Reads a spool file to its end, starting from the size it had when opened (it may still be
// changing), and parses it; on failure nullopt with the reason in result.
std::optional<SpoolFileContent> ReadToEndAndParse(std::size_t sizeWhenOpened,
                                                  const ReadSome& readSome, SpoolReadError& result);

}  // namespace drv::spool_file_system
