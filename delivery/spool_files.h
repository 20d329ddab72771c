#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/tdatetime.h"
#include "delivery/event_record.h"

namespace drv {

// Spool files: one message per file, named by the moment it was spooled. This part is the same
// on every platform; spool_directory.h reads and writes them.

// A spool file name of the shape the driver gives ("1CB33733-2.dd8" behind the name prefix),
// kept as two numbers: a queue of a million waiting files holds no text for their names.
struct CompactSpoolName {
  uint32_t moment = 0;  // the hexadecimal number
  uint16_t suffix = 0;  // the "-N" of a name that was taken; 0 for none
};

// The compact form of `name` (without the name prefix) when it has exactly the driver's shape:
// upper-case hexadecimal without leading zeros, "-N" with N from 1 to 65535 without leading
// zeros, then ".dd8"; nullopt for any other name, which is then kept as it is.
std::optional<CompactSpoolName> CompactFromSpoolName(std::string_view name);
// The name back, without the name prefix.
std::string SpoolNameFromCompact(CompactSpoolName name);

// Spool file name for an event emitted at local time t: the milliseconds since the start of the
// month (the day counted from 1) in upper-case hexadecimal, then ".dd8"; "1CB33733.dd8" for the
// 5th at 13:45:07.123. Throws std::out_of_range for a time outside the broken-down clock's ranges.
std::string SpoolFileName(const CivilTime& t);

inline constexpr std::string_view kSpoolFileExtension = ".dd8";
// A damaged spool file is renamed to its name plus this, so that it is no longer sent.
inline constexpr std::string_view kSetAsideExtension = ".bad";
// Larger files are not spool files of ours; they are set aside rather than read into memory.
inline constexpr std::size_t kMaxSpoolFileSize = 1 << 20;

struct SpoolFileContent {
  uint32_t type = 0;
  std::vector<uint8_t> payload;
};

enum class SpoolReadError {
  kNone,
  kNotFound,        // the file vanished (deleted or renamed by someone else)
  kCannotOpen,      // exists but cannot be opened
  kNotRegularFile,  // a directory, device or pipe under a spool file's name
  kEmpty,           // no byte at all: a write that a crash cut off before its flush
  kTooShort,        // 1 to 3 bytes, fewer than the 4 bytes of the message type
  kTooLarge,        // more than kMaxSpoolFileSize bytes
  kReadFailed,      // opened, but reading failed
};

// A short English phrase for tools and logs.
std::string_view SpoolReadErrorText(SpoolReadError error);

// The first 4 bytes are the message type (little-endian), all remaining bytes the payload,
// whatever their count; nullopt for fewer than 4 bytes.
std::optional<SpoolFileContent> ParseSpoolFileBytes(std::span<const uint8_t> bytes);

// The bytes of a spool file for a message: its type, then its payload. For an event record
// these are the 31 bytes the driver writes.
std::vector<uint8_t> SpoolFileBytes(uint32_t type, std::span<const uint8_t> payload);
std::vector<uint8_t> SpoolFileBytes(const EventRecordBytes& record);

// Splits a spool prefix into the directory to search ("" for the working directory, else ending
// in the separator) and the start that spool file names carry there ("" when the prefix names a
// directory).
struct SpoolLocation {
  std::string directory;
  std::string namePrefix;
};
SpoolLocation SplitSpoolPrefix(const std::string& spoolPrefix);

// Whether a directory entry is a spool file of that location: it starts with the name prefix and
// ends with ".dd8" (in any letter case, as files copied from other systems may carry it).
bool IsSpoolFileName(std::string_view name, std::string_view namePrefix);

// A spool file found in the directory, with the time it was last written and its size.
struct FoundSpoolFile {
  std::string name;
  int64_t modifiedNs = 0;  // nanoseconds since 1970
  uint64_t size = 0;
};

// Whether a directory entry is a temporary file of a spool write that a crash left behind.
bool IsSpoolTemporaryName(std::string_view name);

// The moment and suffix a spool file name carries, read leniently (lower-case digits, leading
// zeros); a name of another shape gets the largest moment, so that it sorts after the others.
struct SpoolNameOrder {
  uint64_t moment = 0;
  uint64_t suffix = 0;
};
SpoolNameOrder SpoolNameOrderOf(std::string_view name, std::string_view namePrefix);

// Puts found files in the order their records were spooled. The names repeat every month, so
// the time of writing comes first; files written within one tick of the file system's clock
// follow their names: the moment in the name, then the "-N" suffix that a name already taken
// gets, counted as a number.
void SortInSpoolOrder(std::vector<FoundSpoolFile>& files, std::string_view namePrefix);

}  // namespace drv
