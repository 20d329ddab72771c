#include "delivery/spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "base/error_codes.h"
#include "base/posix_file.h"
#include "delivery/message_types.h"

namespace drv {
namespace {

// Held records written per tick, so that a long backlog does not stall the main thread.
constexpr std::size_t kHeldWritesPerTick = 100;
// Held records written along with each new one, so the backlog shrinks while events arrive.
constexpr std::size_t kHeldWritesPerDelivery = 2;
// How many "-N" suffixes are tried before a spool file counts as unwritable.
constexpr unsigned kMaxNameAttempts = 100000;
constexpr unsigned kMaxSetAsideAttempts = 1000;
constexpr double kResendIntervalMs = 3000.0;
constexpr TDateTime kOneDay = 1.0;
// 0001-01-01 up to the end of 9999-12-31: the clock readings that name a calendar day.
constexpr TDateTime kFirstCalendarTime = -693593.0;
constexpr TDateTime kEndOfCalendar = 2958466.0;

enum class MoveResult { Moved, TargetExists, SourceMissing, Failed };

// Renames without ever replacing an existing file.
MoveResult MoveWithoutReplacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return MoveResult::Moved;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
    if (errno == EEXIST) return MoveResult::TargetExists;
    return errno == ENOENT ? MoveResult::SourceMissing : MoveResult::Failed;
  }
  // File systems without the no-replace rename: a hard link never replaces either.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return MoveResult::Moved;
  }
  if (errno == EEXIST) return MoveResult::TargetExists;
  return errno == ENOENT ? MoveResult::SourceMissing : MoveResult::Failed;
}

// Makes a new name in the directory survive a crash; a failure here leaves the file in place,
// which is better than writing the record a second time.
void SyncDirectory(const std::string& directory) {
  const int fd =
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

bool EndsWithIgnoringCase(std::string_view text, std::string_view end) {
  if (text.size() < end.size()) return false;
  return std::equal(end.begin(), end.end(), text.end() - static_cast<std::ptrdiff_t>(end.size()),
                    [](char a, char b) {
                      const auto lower = [](char c) {
                        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
                      };
                      return lower(a) == lower(b);
                    });
}

}  // namespace

std::string SpoolFileName(const CivilTime& t) {
  if (t.day < 1 || t.day > 31 || t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 ||
      t.second < 0 || t.second > 59 || t.millisecond < 0 || t.millisecond > 999) {
    throw std::out_of_range("time of day or day of month out of range");
  }
  const uint32_t seconds = static_cast<uint32_t>(t.day) * 86400u +
                           static_cast<uint32_t>(t.hour) * 3600u +
                           static_cast<uint32_t>(t.minute) * 60u + static_cast<uint32_t>(t.second);
  const uint32_t milliseconds = seconds * 1000u + static_cast<uint32_t>(t.millisecond);
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(milliseconds));
  return std::string(text) + std::string(kSpoolFileExtension);
}

std::string_view SpoolReadErrorText(SpoolReadError error) {
  switch (error) {
    case SpoolReadError::None:
      return "no error";
    case SpoolReadError::NotFound:
      return "not found";
    case SpoolReadError::CannotOpen:
      return "cannot be opened";
    case SpoolReadError::NotRegularFile:
      return "not a regular file";
    case SpoolReadError::TooShort:
      return "shorter than 4 bytes";
    case SpoolReadError::TooLarge:
      return "larger than a spool file can be";
    case SpoolReadError::ReadFailed:
      return "read failed";
  }
  return "unknown error";
}

std::optional<SpoolFileContent> ReadSpoolFile(const std::string& path, SpoolReadError* error) {
  SpoolReadError ignored;
  SpoolReadError& result = error != nullptr ? *error : ignored;
  result = SpoolReadError::None;

  // Non-blocking, so that a pipe under a spool file's name cannot hang the caller.
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (file.get() < 0) {
    result = (errno == ENOENT || errno == ENOTDIR) ? SpoolReadError::NotFound
                                                   : SpoolReadError::CannotOpen;
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) {
    result = SpoolReadError::ReadFailed;
    return std::nullopt;
  }
  if (!S_ISREG(info.st_mode)) {
    result = SpoolReadError::NotRegularFile;
    return std::nullopt;
  }
  if (static_cast<uint64_t>(info.st_size) > kMaxSpoolFileSize) {
    result = SpoolReadError::TooLarge;
    return std::nullopt;
  }

  // Read to the end rather than trusting the size: the file may still be changing.
  std::vector<uint8_t> bytes(static_cast<std::size_t>(info.st_size) + 1);
  std::size_t total = 0;
  for (;;) {
    if (total == bytes.size()) {
      if (bytes.size() > kMaxSpoolFileSize) {
        result = SpoolReadError::TooLarge;
        return std::nullopt;
      }
      bytes.resize(std::min(bytes.size() * 2, kMaxSpoolFileSize + 1));
    }
    const ssize_t count = ::read(file.get(), bytes.data() + total, bytes.size() - total);
    if (count < 0) {
      if (errno == EINTR) continue;
      result = SpoolReadError::ReadFailed;
      return std::nullopt;
    }
    if (count == 0) break;
    total += static_cast<std::size_t>(count);
  }
  if (total < 4) {
    result = SpoolReadError::TooShort;
    return std::nullopt;
  }

  SpoolFileContent content;
  content.type = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                 static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  content.payload.assign(bytes.begin() + 4, bytes.begin() + static_cast<std::ptrdiff_t>(total));
  return content;
}

std::vector<uint8_t> SpoolFileBytes(const EventRecordBytes& record) {
  std::vector<uint8_t> bytes;
  bytes.reserve(4 + record.size());
  for (int shift = 0; shift < 32; shift += 8) {
    bytes.push_back(static_cast<uint8_t>(static_cast<uint32_t>(MsgEventRecord) >> shift));
  }
  bytes.insert(bytes.end(), record.begin(), record.end());
  return bytes;
}

SpoolLocation SplitSpoolPrefix(const std::string& spoolPrefix) {
  const std::size_t slash = spoolPrefix.rfind('/');
  if (slash == std::string::npos) return {"", spoolPrefix};
  return {spoolPrefix.substr(0, slash + 1), spoolPrefix.substr(slash + 1)};
}

bool IsSpoolFileName(std::string_view name, std::string_view namePrefix) {
  return name.size() >= namePrefix.size() + kSpoolFileExtension.size() &&
         name.starts_with(namePrefix) && EndsWithIgnoringCase(name, kSpoolFileExtension);
}

EventSpool::EventSpool(IClock& clock, std::string spoolPrefix, ISessionLink* session,
                       std::function<void(int code)> writeErrorCode, std::size_t maxHeldRecords)
    : clock_(clock),
      spoolPrefix_(std::move(spoolPrefix)),
      location_(SplitSpoolPrefix(spoolPrefix_)),
      session_(session),
      writeErrorCode_(std::move(writeErrorCode)),
      maxHeldRecords_(std::max<std::size_t>(maxHeldRecords, 1)) {}

void EventSpool::DeliverEventRecord(const EventRecordBytes& record) {
  try {
    if (!heldRecords_.empty()) {
      // Behind the held records, so that the records reach the disk in the order of the events.
      Hold(record);
      WriteHeldRecords(kHeldWritesPerDelivery);
      return;
    }
    if (CanQueueDirectly()) {
      try {
        session_->QueueMessage(MsgEventRecord, record);
        return;
      } catch (...) {
        // Not taken by the session: spooled below like any record the session cannot take.
      }
    }
    if (!Spool(record)) Hold(record);
  } catch (...) {
    // Only memory exhaustion gets here; the tick must go on.
  }
}

void EventSpool::ResendStep() {
  try {
    WriteHeldRecords(kHeldWritesPerTick);
    if (session_ == nullptr || !session_->connected() || !session_->introduced()) return;
    const TDateTime now = clock_.Now();
    if (!ResendDue(now)) return;
    std::string path;
    std::optional<SpoolFileContent> content = NextFileToResend(&path);
    if (!content) return;
    session_->QueueMessage(content->type, content->payload);
    pendingSpoolPath_ = std::move(path);
    lastResendTime_ = now;
  } catch (...) {
    // A failed resend is tried again at a later tick.
  }
}

void EventSpool::OnConnected() {
  lastResendTime_ = clock_.Now() - kOneDay;
}

void EventSpool::OnEventAcknowledged() {
  if (pendingSpoolPath_.empty()) return;
  // A file that cannot be deleted stays in the spool and is simply sent again later.
  ::unlink(pendingSpoolPath_.c_str());
  pendingSpoolPath_.clear();
  lastResendTime_ = clock_.Now() - kOneDay;
}

bool EventSpool::CanQueueDirectly() const {
  return session_ != nullptr && session_->connected() && session_->introduced() &&
         pendingSpoolPath_.empty();
}

bool EventSpool::ResendDue(TDateTime now) const {
  // Counted in whole milliseconds, the clock's resolution, so that rounding in sums of day
  // fractions does not decide the 3-second boundary.
  const double elapsedMs = std::round((now - lastResendTime_) / kOneMillisecond);
  if (!std::isfinite(elapsedMs)) return true;
  // A clock set back would otherwise hold every resend until it caught up again.
  return elapsedMs > kResendIntervalMs || elapsedMs < 0.0;
}

bool EventSpool::Spool(const EventRecordBytes& record) {
  std::string baseName;
  try {
    baseName = FormBaseName();
  } catch (...) {
    ReportError(kErrorSpoolName);
    baseName.clear();  // the file is then named by its suffix alone, ".dd8", "-1.dd8", ...
  }
  if (WriteNewSpoolFile(record, baseName)) {
    spoolFailing_ = false;
    return true;
  }
  // One line per run of failures: the log would otherwise grow with every event.
  if (!spoolFailing_) {
    spoolFailing_ = true;
    ReportError(kErrorSpoolWrite);
  }
  return false;
}

std::string EventSpool::FormBaseName() {
  const TDateTime now = clock_.Now();
  if (!(now >= kFirstCalendarTime && now < kEndOfCalendar)) {
    throw std::out_of_range("clock reading outside the calendar");
  }
  std::string name = SpoolFileName(DecodeDateTime(now));
  name.resize(name.size() - kSpoolFileExtension.size());
  return name;
}

bool EventSpool::WriteNewSpoolFile(const EventRecordBytes& record, const std::string& baseName) {
  // The record is written in full under a name the resend does not look at, made durable, and
  // only then given its spool name, so that no reader ever finds a short spool file.
  std::string tempPath;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    tempPath = location_.directory + ".spool-" + std::to_string(::getpid()) + "-" +
               std::to_string(tempCounter_++) + ".tmp";
    fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  UniqueFd file(fd);
  if (file.get() < 0) return false;
  const std::vector<uint8_t> bytes = SpoolFileBytes(record);
  const bool durable = WriteAll(file.get(), bytes.data(), bytes.size()) && ::fsync(file.get()) == 0;
  if (!file.Close() || !durable) {
    ::unlink(tempPath.c_str());
    return false;
  }

  if (baseName != lastBaseName_) {
    lastBaseName_ = baseName;
    nextSuffix_ = 0;
  }
  for (unsigned attempt = 0; attempt < kMaxNameAttempts; ++attempt, ++nextSuffix_) {
    const std::string finalPath = spoolPrefix_ + baseName +
                                  (nextSuffix_ == 0 ? "" : "-" + std::to_string(nextSuffix_)) +
                                  std::string(kSpoolFileExtension);
    const MoveResult moved = MoveWithoutReplacing(tempPath, finalPath);
    if (moved == MoveResult::Moved) {
      ++nextSuffix_;
      SyncDirectory(location_.directory);
      return true;
    }
    if (moved != MoveResult::TargetExists) break;
  }
  ::unlink(tempPath.c_str());
  return false;
}

void EventSpool::Hold(const EventRecordBytes& record) {
  if (heldRecords_.size() >= maxHeldRecords_) {
    heldRecords_.pop_front();
    ++droppedRecords_;
  }
  heldRecords_.push_back(record);
}

void EventSpool::WriteHeldRecords(std::size_t limit) {
  for (std::size_t i = 0; i < limit && !heldRecords_.empty(); ++i) {
    if (!Spool(heldRecords_.front())) return;
    heldRecords_.pop_front();
  }
}

std::optional<SpoolFileContent> EventSpool::NextFileToResend(std::string* path) {
  // The pending file goes again until it is acknowledged, whatever the directory order: an
  // acknowledgement names no file, so it must belong to the one file that is out.
  if (!pendingSpoolPath_.empty()) {
    if (auto content = ReadSpoolFile(pendingSpoolPath_)) {
      *path = pendingSpoolPath_;
      return content;
    }
  }

  // The first file the directory yields: no listing or sorting. Names are taken in batches, so
  // that a long spool costs no more per tick than a short one.
  constexpr std::size_t kNamesPerPass = 256;
  if (foundFiles_.empty()) {
    DirectoryReader dir(location_.directory.empty() ? "." : location_.directory);
    while (foundFiles_.size() < kNamesPerPass) {
      const std::optional<std::string_view> name = dir.Next();
      if (!name) break;
      if (!IsSpoolFileName(*name, location_.namePrefix)) continue;
      std::string candidate = location_.directory + std::string(*name);
      if (!unmovableDamagedFiles_.contains(candidate)) foundFiles_.push_back(std::move(candidate));
    }
  }
  while (!foundFiles_.empty()) {
    std::string candidate = std::move(foundFiles_.front());
    foundFiles_.pop_front();
    SpoolReadError error = SpoolReadError::None;
    std::optional<SpoolFileContent> found = ReadSpoolFile(candidate, &error);
    if (found) {
      *path = std::move(candidate);
      return found;
    }
    // A name whose file has gone meanwhile (acknowledged, or taken away) is simply passed by.
    if (error != SpoolReadError::NotFound) SetAside(candidate);
  }
  return std::nullopt;
}

void EventSpool::SetAside(const std::string& path) {
  for (unsigned attempt = 0; attempt < kMaxSetAsideAttempts; ++attempt) {
    const std::string target = path + (attempt == 0 ? "" : "." + std::to_string(attempt)) +
                               std::string(kSetAsideExtension);
    const MoveResult moved = MoveWithoutReplacing(path, target);
    if (moved == MoveResult::SourceMissing) return;
    if (moved == MoveResult::Moved) {
      ReportError(kErrorSpoolFileDamaged);
      return;
    }
    if (moved != MoveResult::TargetExists) break;
  }
  // It cannot be renamed (read-only directory): leave it where it is and pass it by from now on.
  unmovableDamagedFiles_.insert(path);
  ReportError(kErrorSpoolFileDamaged);
}

void EventSpool::ReportError(int code) const {
  try {
    writeErrorCode_(code);
  } catch (...) {
    // The error log is out of reach too; nothing more can be done about it here.
  }
}

}  // namespace drv
