#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "base/tdatetime.h"
#include "delivery/event_record.h"
#include "delivery/session_link.h"

namespace drv {

// Spool file name for an event emitted at local time t: the milliseconds since the start of the
// month (the day counted from 1) in upper-case hexadecimal, then ".dd8"; "1CB33733.dd8" for the
// 5th at 13:45:07.123. Throws std::out_of_range for a time outside the broken-down clock's ranges.
std::string SpoolFileName(const CivilTime& t);

inline constexpr std::string_view kSpoolFileExtension = ".dd8";
// A damaged spool file is renamed to its name plus this, so the search no longer finds it.
inline constexpr std::string_view kSetAsideExtension = ".bad";
// Larger files are not spool files of ours; they are set aside rather than read into memory.
inline constexpr std::size_t kMaxSpoolFileSize = 1 << 20;

struct SpoolFileContent {
  uint32_t type = 0;
  std::vector<uint8_t> payload;
};

enum class SpoolReadError {
  None,
  NotFound,        // the file vanished (deleted or renamed by someone else)
  CannotOpen,      // exists but cannot be opened
  NotRegularFile,  // a directory, device or pipe under a spool file's name
  TooShort,        // fewer than the 4 bytes of the message type
  TooLarge,        // more than kMaxSpoolFileSize bytes
  ReadFailed,      // opened, but reading failed
};

// A short English phrase for tools and logs.
std::string_view SpoolReadErrorText(SpoolReadError error);

// Reads a spool file: the first 4 bytes are the message type (little-endian), all remaining bytes
// the payload, whatever their count. nullopt on failure, with the reason in *error when given.
std::optional<SpoolFileContent> ReadSpoolFile(const std::string& path,
                                              SpoolReadError* error = nullptr);

// The 31 bytes the driver writes for one record: the event record type, then the record.
std::vector<uint8_t> SpoolFileBytes(const EventRecordBytes& record);

// Splits a spool prefix into the directory to search ("" for the working directory, else ending
// in "/") and the start that spool file names carry there ("" when the prefix names a directory).
struct SpoolLocation {
  std::string directory;
  std::string namePrefix;
};
SpoolLocation SplitSpoolPrefix(const std::string& spoolPrefix);

// Whether a directory entry is a spool file of that location: it starts with the name prefix and
// ends with ".dd8" (in any letter case, as files copied from other systems may carry it).
bool IsSpoolFileName(std::string_view name, std::string_view namePrefix);

// Holds event records that cannot go to the message server now, one record per file, and hands
// them back to the session one at a time once the server has accepted the driver.
//
// Every call comes on the main thread: the wiring hands the session's notifications over to the
// main thread before calling OnConnected and OnEventAcknowledged, so the state needs no lock.
class EventSpool final : public IEventSink {
 public:
  // Records that could not be written to disk and are kept in memory to be written later.
  // Beyond this the oldest held record is dropped: the newest alarms matter most to the operator.
  static constexpr std::size_t kMaxHeldRecords = 100000;

  // spoolPrefix is put directly before the file names: "/var/spool/drv/" names a directory, "" the
  // working directory, "/var/spool/drv/ev" files starting with "ev" in /var/spool/drv.
  // session is null when the driver runs without a session: records are then spooled and kept
  // for a later run that has one.
  EventSpool(IClock& clock, std::string spoolPrefix, ISessionLink* session,
             std::function<void(int code)> writeErrorCode,
             std::size_t maxHeldRecords = kMaxHeldRecords);

  // The delivery decision for every completed record: straight to the session when it is
  // connected, accepted and no spool file awaits its acknowledgement; otherwise to a spool file.
  void DeliverEventRecord(const EventRecordBytes& record) override;

  // On every 200 ms tick: writes held records, and resends the next spool file when it is due.
  void ResendStep();

  // The session has connected: the next resend may go at once.
  void OnConnected();

  // The server acknowledged an event record: the pending spool file is done with.
  void OnEventAcknowledged();

  // Full path of the spool file last resent and not yet acknowledged; empty when none.
  const std::string& PendingSpoolPath() const { return pendingSpoolPath_; }
  TDateTime LastResendTime() const { return lastResendTime_; }
  // Records waiting in memory because their spool files could not be written.
  std::size_t RecordsHeldInMemory() const { return heldRecords_.size(); }
  // Held records given up because the memory bound was reached.
  std::size_t RecordsDropped() const { return droppedRecords_; }

 private:
  bool CanQueueDirectly() const;
  bool ResendDue(TDateTime now) const;
  // Writes one record to a new spool file; reports the first failure of a run of failures.
  bool Spool(const EventRecordBytes& record);
  std::string FormBaseName();
  bool WriteNewSpoolFile(const EventRecordBytes& record, const std::string& baseName);
  void Hold(const EventRecordBytes& record);
  void WriteHeldRecords(std::size_t limit);
  // The pending file when it is still there and readable, else the first good file the search
  // yields; damaged files met on the way are set aside.
  std::optional<SpoolFileContent> NextFileToResend(std::string* path);
  void SetAside(const std::string& path);
  void ReportError(int code) const;

  IClock& clock_;
  std::string spoolPrefix_;
  SpoolLocation location_;
  ISessionLink* session_;
  std::function<void(int code)> writeErrorCode_;
  std::size_t maxHeldRecords_;

  std::string pendingSpoolPath_;
  TDateTime lastResendTime_ = 0.0;

  std::deque<EventRecordBytes> heldRecords_;
  std::size_t droppedRecords_ = 0;
  bool spoolFailing_ = false;
  // Damaged files that could not be renamed: reported once and skipped by later searches.
  std::set<std::string> unmovableDamagedFiles_;
  // Names of spool files found by the last directory pass and not yet sent, in the order the
  // directory gave them. A pass takes a batch of names, so that a long spool is read from the
  // directory once per batch rather than once per file.
  std::deque<std::string> foundFiles_;
  // Several records often share one millisecond; counting on from the last suffix used for the
  // same base name keeps forming a free name cheap.
  std::string lastBaseName_;
  unsigned nextSuffix_ = 0;
  unsigned tempCounter_ = 0;
};

}  // namespace drv
