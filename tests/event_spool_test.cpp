#include "delivery/event_spool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/error_codes.h"
#include "delivery/message_types.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
using drv::testing::FakeClock;
using drv::testing::ReadFileBytes;
using drv::testing::TempDir;
using drv::testing::WriteFileBytes;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The 5th of December 2026, 13:45:07.123: spool files of this moment are named 1CB33733.
const TDateTime kFifthAt134507 = EncodeDateTime({2026, 12, 5, 13, 45, 7, 123});

EventRecordBytes Record(int32_t objectNumber) {
  EventRecord record;
  record.ObjectNumber = objectNumber;
  record.SetEventCode("1130");
  record.Zone = 5;
  record.EventTime = kFifthAt134507;
  return SerializeEventRecord(record);
}

std::string FileBytes(int32_t objectNumber) {
  const std::vector<uint8_t> bytes = SpoolFileBytes(Record(objectNumber));
  return std::string(bytes.begin(), bytes.end());
}

int32_t ObjectNumberIn(const std::vector<uint8_t>& payload) {
  const auto record = ParseEventRecord(payload);
  return record ? record->ObjectNumber : -1;
}

// The directory's files but the driver's lock file.
std::vector<std::string> NamesIn(const fs::path& directory) {
  std::vector<std::string> names;
  if (!fs::exists(directory)) return names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    std::string name = entry.path().filename().string();
    if (name != kSpoolLockFileName) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

fs::file_time_type WholeSecondsNow() {
  static const auto now =
      std::chrono::floor<std::chrono::seconds>(fs::file_time_type::clock::now());
  return now;
}

// A file as an earlier run (or another workstation) left it, written `secondsAgo` before now.
void PutFileOfEarlierRun(const fs::path& path, int32_t objectNumber, int secondsAgo) {
  WriteFileBytes(path, FileBytes(objectNumber));
  // Whole seconds from one moment, so that files of the same age tie and their names decide.
  fs::last_write_time(path, WholeSecondsNow() - std::chrono::seconds(secondsAgo));
}

int64_t UnixMsOf(fs::file_time_type time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::file_clock::to_sys(time).time_since_epoch())
      .count();
}

class EventSpoolTest : public ::testing::Test {
 protected:
  EventSpoolTest() {
    clock.SetNow(kFifthAt134507);
    // Files carry the real clock's times, which the spool compares with its own.
    clock.SetUnixTimeMs(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count());
  }

  std::string Prefix() const { return spoolDir.string() + "/"; }

  EventSpool& MakeSpool(bool forwarding = true, std::size_t maxHeld = EventSpool::kMaxHeldRecords,
                        std::string prefix = {}) {
    spool = std::make_unique<EventSpool>(
        clock, prefix.empty() ? Prefix() : prefix, forwarding,
        [this](int code) { errors.push_back(code); }, maxHeld);
    spool->SetRecordsQueuedListener([this] { ++wakeUps; });
    return *spool;
  }

  // Start-up, and the ticks until the files found there are queued.
  EventSpool::DirectoryState StartAndLoad() {
    const EventSpool::DirectoryState state = spool->Start();
    WaitUntilLoaded();
    return state;
  }

  void WaitUntilLoaded() {
    for (int i = 0; i < 10000 && !spool->BacklogLoaded(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      spool->OnTick();
    }
    ASSERT_TRUE(spool->BacklogLoaded());
  }

  bool Store(std::initializer_list<int32_t> objectNumbers) {
    std::vector<EventRecordBytes> frame;
    for (int32_t number : objectNumbers) frame.push_back(Record(number));
    return spool->StoreEventRecords(frame);
  }

  // The spool directory's files once the acknowledged ones are deleted.
  std::vector<std::string> NamesInSpool() {
    if (spool) spool->SettleDeletions();
    return NamesIn(spoolDir);
  }

  // Takes records off the queue as the session does, acknowledging each; their object numbers.
  std::vector<int32_t> Drain() {
    std::vector<int32_t> sent;
    while (std::optional<QueuedRecord> record = spool->Oldest()) {
      EXPECT_EQ(record->type, MsgEventRecord);
      sent.push_back(ObjectNumberIn(record->payload));
      EXPECT_TRUE(spool->Acknowledge(record->id));
    }
    return sent;
  }

  TempDir dir;
  const fs::path spoolDir = dir.Path() / "spool";
  FakeClock clock;
  std::vector<int> errors;
  int wakeUps = 0;
  std::unique_ptr<EventSpool> spool;
};

TEST_F(EventSpoolTest, AFramesRecordsAreOnDiskWhenStoredAndEachAcknowledgementDeletesItsOwn) {
  fs::create_directory(spoolDir);
  MakeSpool();
  StartAndLoad();
  EXPECT_TRUE(Store({1, 2, 3}));
  EXPECT_GE(wakeUps, 1);
  // On disk at return, one 31-byte file per record, none of them a temporary file.
  EXPECT_THAT(NamesInSpool(), ElementsAre("1CB33733-1.dd8", "1CB33733-2.dd8", "1CB33733.dd8"));
  EXPECT_EQ(ReadFileBytes(spoolDir / "1CB33733.dd8"), FileBytes(1));
  EXPECT_EQ(ReadFileBytes(spoolDir / "1CB33733-2.dd8"), FileBytes(3));

  const std::optional<QueuedRecord> first = spool->Oldest();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(ObjectNumberIn(first->payload), 1);
  EXPECT_EQ(spool->Oldest()->id, first->id) << "the oldest stays until it is acknowledged";
  ASSERT_TRUE(spool->Behind(first->id).has_value());
  EXPECT_EQ(ObjectNumberIn(spool->Behind(first->id)->payload), 2);

  EXPECT_TRUE(spool->Acknowledge(first->id + 2));  // not the oldest: its own file goes
  EXPECT_THAT(NamesInSpool(), ElementsAre("1CB33733-1.dd8", "1CB33733.dd8"));
  EXPECT_TRUE(spool->Acknowledge(first->id));
  EXPECT_THAT(NamesInSpool(), ElementsAre("1CB33733-1.dd8"));
  EXPECT_FALSE(spool->Acknowledge(first->id)) << "twice: nothing more";
  EXPECT_EQ(spool->QueuedCount(), 1u);
  EXPECT_FALSE(spool->Behind(first->id + 1).has_value());

  EXPECT_THAT(Drain(), ElementsAre(2));
  EXPECT_THAT(NamesInSpool(), IsEmpty());
  EXPECT_THAT(errors, IsEmpty());
}

TEST_F(EventSpoolTest, FilesOfAnEarlierRunGoFirstInTheOrderTheyWereWritten) {
  fs::create_directory(spoolDir);
  // The names repeat monthly: a file from last month may carry a "later" name.
  PutFileOfEarlierRun(spoolDir / "A0000000.dd8", 1, 100);
  PutFileOfEarlierRun(spoolDir / "5265C00-1.dd8", 3, 50);
  PutFileOfEarlierRun(spoolDir / "5265C00.dd8", 2, 50);
  WriteFileBytes(spoolDir / "5265C01.dd8", "ab");  // damaged: set aside
  fs::last_write_time(spoolDir / "5265C01.dd8", WholeSecondsNow() - std::chrono::minutes(5));
  WriteFileBytes(spoolDir / "5265C02.dd8.bad", "set aside earlier");
  WriteFileBytes(spoolDir / ".spool-123-0.tmp", FileBytes(9));  // a crash before its rename
  MakeSpool();
  StartAndLoad();
  EXPECT_GE(wakeUps, 1);
  Store({4});

  EXPECT_THAT(Drain(), ElementsAre(1, 2, 3, 4));
  EXPECT_THAT(NamesInSpool(), ElementsAre("5265C01.dd8.bad", "5265C02.dd8.bad"))
      << "the temporary file of the crash is gone";
  EXPECT_EQ(ReadFileBytes(spoolDir / "5265C01.dd8.bad"), "ab");
  EXPECT_THAT(errors, ElementsAre(kErrorSpoolFileDamaged));
}

TEST_F(EventSpoolTest, NothingIsOfferedBeforeTheBacklogIsLoadedAndNewRecordsFollowIt) {
  fs::create_directory(spoolDir);
  PutFileOfEarlierRun(spoolDir / "5265C00.dd8", 1, 10);
  MakeSpool();
  spool->Start();
  // Answered at once, whatever the backlog: the frame is on disk and queued behind it.
  EXPECT_TRUE(Store({2}));
  if (!spool->BacklogLoaded()) {
    EXPECT_FALSE(spool->HasWaiting());
    EXPECT_FALSE(spool->Oldest().has_value());
  }
  WaitUntilLoaded();
  EXPECT_TRUE(spool->HasWaiting());
  EXPECT_THAT(Drain(), ElementsAre(1, 2));
}

TEST_F(EventSpoolTest, WhatOneRunLeavesTheNextSendsInOrder) {
  fs::create_directory(spoolDir);
  MakeSpool();
  StartAndLoad();
  Store({1, 2});
  Store({3});
  clock.Advance(1);
  Store({4});
  spool->Acknowledge(spool->Oldest()->id);  // 1 reached the server
  spool.reset();                            // the process ends

  MakeSpool();
  StartAndLoad();
  Store({5});
  EXPECT_THAT(Drain(), ElementsAre(2, 3, 4, 5));
}

TEST_F(EventSpoolTest, WithoutASessionRecordsAreSpooledAndLeftForALaterRun) {
  fs::create_directory(spoolDir);
  PutFileOfEarlierRun(spoolDir / "5265C00.dd8", 1, 10);
  MakeSpool(false);
  StartAndLoad();
  Store({2});
  for (int i = 0; i < 10; ++i) spool->OnTick();
  EXPECT_FALSE(spool->HasWaiting());
  EXPECT_FALSE(spool->Oldest().has_value());
  EXPECT_EQ(wakeUps, 0);
  EXPECT_THAT(NamesInSpool(), ElementsAre("1CB33733.dd8", "5265C00.dd8"));
  EXPECT_EQ(ReadFileBytes(spoolDir / "1CB33733.dd8"), FileBytes(2));
}

TEST_F(EventSpoolTest, RecordsTheDirectoryCannotTakeAreQueuedAllTheSameAndWrittenLaterInOrder) {
  MakeSpool();
  EXPECT_EQ(StartAndLoad(), EventSpool::DirectoryState::kUnavailable);  // no directory yet
  EXPECT_TRUE(Store({1, 2}));
  clock.Advance(1000);
  EXPECT_TRUE(Store({3}));
  EXPECT_EQ(spool->RecordsHeldInMemory(), 3u);
  EXPECT_THAT(errors, ElementsAre(kErrorSpoolWrite)) << "once per run of failures";

  // Held records go to the server like any other: the first is acknowledged before the
  // directory works again, and must then never be written.
  ASSERT_EQ(ObjectNumberIn(spool->Oldest()->payload), 1);
  spool->Acknowledge(spool->Oldest()->id);

  // The directory is back a minute later: a new frame's records are on disk at once, before
  // the held ones.
  fs::create_directory(spoolDir);
  clock.Advance(60000);
  EXPECT_TRUE(Store({4}));
  EXPECT_EQ(spool->RecordsHeldInMemory(), 2u);
  EXPECT_THAT(NamesInSpool(), ElementsAre("1CB4257B.dd8"));
  WaitUntilLoaded();
  spool->OnTick();
  EXPECT_EQ(spool->RecordsHeldInMemory(), 0u);
  // The held ones are named and dated by the moment they came, so that they keep their place.
  EXPECT_THAT(NamesInSpool(), ElementsAre("1CB33733.dd8", "1CB33B1B.dd8", "1CB4257B.dd8"));
  EXPECT_EQ(ReadFileBytes(spoolDir / "1CB33733.dd8"), FileBytes(2));
  EXPECT_EQ(ReadFileBytes(spoolDir / "1CB33B1B.dd8"), FileBytes(3));
  // Some file systems keep whole seconds only.
  EXPECT_NEAR(static_cast<double>(UnixMsOf(fs::last_write_time(spoolDir / "1CB33B1B.dd8"))),
              static_cast<double>(clock.UnixTimeMs() - 60000), 1000.0);
  EXPECT_THAT(Drain(), ElementsAre(2, 3, 4));
  EXPECT_THAT(NamesInSpool(), IsEmpty()) << "acknowledging a written record deletes its file";
}

TEST_F(EventSpoolTest, HeldRecordsWrittenLateKeepTheirPlaceAfterARestart) {
  // The file system's clock may lag the driver's by milliseconds; here by an hour, so that a
  // file dated by the one and a file dated by the other would change places.
  clock.SetUnixTimeMs(clock.UnixTimeMs() + 3600 * 1000);
  MakeSpool();
  StartAndLoad();
  Store({1});
  clock.Advance(1000);
  fs::create_directory(spoolDir);
  Store({2});  // on disk at once, while 1 is still held
  spool->WriteHeldRecords();
  spool.reset();

  MakeSpool();
  StartAndLoad();
  EXPECT_THAT(Drain(), ElementsAre(1, 2));
}

TEST_F(EventSpoolTest, HeldRecordsCountAsWaitingAndInMemory) {
  MakeSpool();  // the directory does not exist
  StartAndLoad();
  Store({1, 2});
  const DeliveryStatistics statistics = spool->Statistics();
  EXPECT_EQ(statistics.recordsStored, 2u);
  EXPECT_EQ(statistics.recordsWaiting, 2u);
  EXPECT_EQ(statistics.recordsHeldInMemory, 2u);
}

TEST_F(EventSpoolTest, StatisticsFollowWhatIsStoredWaitingAndAcknowledged) {
  fs::create_directory(spoolDir);
  PutFileOfEarlierRun(spoolDir / "5265C00.dd8", 9, 60);
  const int64_t earlierRunMs = UnixMsOf(fs::last_write_time(spoolDir / "5265C00.dd8"));
  MakeSpool();
  StartAndLoad();
  DeliveryStatistics statistics = spool->Statistics();
  EXPECT_EQ(statistics.recordsStored, 0u) << "a file of an earlier run was stored by that run";
  EXPECT_EQ(statistics.recordsWaiting, 1u);
  EXPECT_EQ(statistics.oldestWaitingStoredMs, earlierRunMs);
  EXPECT_FALSE(statistics.lastAcknowledgementMs.has_value());

  Store({1, 2});
  statistics = spool->Statistics();
  EXPECT_EQ(statistics.recordsStored, 2u);
  EXPECT_EQ(statistics.recordsWaiting, 3u);
  EXPECT_EQ(statistics.oldestWaitingStoredMs, earlierRunMs);

  clock.Advance(1500);
  spool->Acknowledge(spool->Oldest()->id);
  statistics = spool->Statistics();
  EXPECT_EQ(statistics.recordsDelivered, 1u);
  EXPECT_EQ(statistics.recordsWaiting, 2u);
  EXPECT_EQ(statistics.lastAcknowledgementMs, clock.UnixTimeMs());
  EXPECT_EQ(statistics.oldestWaitingStoredMs, clock.UnixTimeMs() - 1500)
      << "now the oldest is a record of this run, stored 1.5 s ago";
  EXPECT_EQ(statistics.recordsHeldInMemory, 0u);
}

// Memory holds a bounded number of records; before the bound, frames are refused whole, so
// that the station keeps them, and no record it was told of is ever dropped.
TEST_F(EventSpoolTest, AtTheMemoryBoundFramesAreRefusedWholeAndNothingHeldIsDropped) {
  const std::size_t bound = EventSpool::kHeldRecordMargin + 4;
  MakeSpool(true, bound);
  StartAndLoad();  // no directory
  for (int32_t number = 1; number <= 4; ++number) EXPECT_TRUE(Store({number}));
  // One more would leave less than a block message's room before the bound.
  EXPECT_FALSE(Store({5}));
  EXPECT_FALSE(Store({6, 7}));
  EXPECT_EQ(spool->RecordsHeldInMemory(), 4u);
  EXPECT_THAT(errors, ElementsAre(kErrorSpoolWrite, kErrorFramesRefused))
      << "one line when the refusals begin";

  // Room again: the server took one of the held records.
  spool->Acknowledge(spool->Oldest()->id);
  EXPECT_TRUE(Store({5}));
  EXPECT_FALSE(Store({6}));
  EXPECT_THAT(errors, ElementsAre(kErrorSpoolWrite, kErrorFramesRefused, kErrorFramesRefused));

  // The directory is back: everything held goes to disk, and frames are taken again.
  fs::create_directory(spoolDir);
  EXPECT_TRUE(Store({6, 7}));
  WaitUntilLoaded();
  spool->OnTick();
  EXPECT_EQ(spool->RecordsHeldInMemory(), 0u);
  EXPECT_THAT(Drain(), ElementsAre(2, 3, 4, 5, 6, 7));
}

TEST_F(EventSpoolTest, AFrameWhoseRecordsDoNotAllFitIsUndoneOnDisk) {
  // A block message's records on disk in part: nothing of the frame may stay when it is refused.
  const std::size_t bound = EventSpool::kHeldRecordMargin + 1;
  MakeSpool(true, bound);
  StartAndLoad();
  EXPECT_TRUE(Store({1}));  // held: the bound is reached
  fs::create_directory(spoolDir);
  WaitUntilLoaded();
  // The directory takes files again, so the refusal cannot come from there; a frame is refused
  // only when what the directory did not take cannot be held. All of this frame is written.
  EXPECT_TRUE(Store({2, 3}));
  EXPECT_THAT(NamesInSpool().size(), 2u);
}

TEST_F(EventSpoolTest, ASecondDriverOnTheSameDirectoryLeavesItsFilesAlone) {
  fs::create_directory(spoolDir);
  PutFileOfEarlierRun(spoolDir / "5265C00.dd8", 1, 10);
  MakeSpool();
  StartAndLoad();

  std::vector<int> otherErrors;
  EventSpool other(clock, Prefix(), true, [&](int code) { otherErrors.push_back(code); });
  EXPECT_EQ(other.Start(), EventSpool::DirectoryState::kHeldByAnotherDriver);
  EXPECT_THAT(otherErrors, ElementsAre(kErrorSpoolDirectoryTaken));
  // Its own records wait in memory and go to the server from there; the files are not its own.
  EXPECT_TRUE(other.StoreEventRecords(std::vector<EventRecordBytes>{Record(7)}));
  EXPECT_EQ(other.RecordsHeldInMemory(), 1u);
  ASSERT_TRUE(other.Oldest().has_value());
  EXPECT_EQ(ObjectNumberIn(other.Oldest()->payload), 7);
  EXPECT_THAT(NamesInSpool(), ElementsAre("5265C00.dd8"));

  // Tried again later; the first still holds it, and it is not reported twice.
  clock.Advance(EventSpool::kDirectoryRetryMs + 1);
  other.OnTick();
  EXPECT_EQ(other.Directory(), EventSpool::DirectoryState::kHeldByAnotherDriver);
  EXPECT_THAT(otherErrors, ElementsAre(kErrorSpoolDirectoryTaken));

  // The first driver ends: the second takes the directory at its next try.
  EXPECT_THAT(Drain(), ElementsAre(1));
  spool.reset();
  clock.Advance(EventSpool::kDirectoryRetryMs + 1);
  other.OnTick();
  EXPECT_EQ(other.Directory(), EventSpool::DirectoryState::kOwned);
}

TEST_F(EventSpoolTest, FilesThatArriveWhileTheDriverRunsAreQueuedOldestFirstAndOnlyOnce) {
  fs::create_directory(spoolDir);
  MakeSpool();
  StartAndLoad();
  Store({1});
  // Carried over from another workstation: written elsewhere, moved in.
  const fs::path elsewhere = dir.Path() / "elsewhere";
  fs::create_directory(elsewhere);
  PutFileOfEarlierRun(elsewhere / "A0000000.dd8", 3, 10);
  PutFileOfEarlierRun(elsewhere / "A0000001.dd8", 2, 20);
  fs::rename(elsewhere / "A0000000.dd8", spoolDir / "A0000000.dd8");
  fs::rename(elsewhere / "A0000001.dd8", spoolDir / "A0000001.dd8");
  WriteFileBytes(spoolDir / "notes.txt", "not a spool file");
  for (int i = 0; i < 500 && spool->QueuedCount() < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    spool->OnTick();
  }
  for (int i = 0; i < 5; ++i) spool->OnTick();
  ASSERT_EQ(spool->QueuedCount(), 3u);

  // Linked in: a name that is only created. Then written over in place, which reports it again
  // while it waits: it is queued once all the same.
  PutFileOfEarlierRun(elsewhere / "A0000002.dd8", 4, 5);
  fs::create_hard_link(elsewhere / "A0000002.dd8", spoolDir / "A0000002.dd8");
  for (int i = 0; i < 500 && spool->QueuedCount() < 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    spool->OnTick();
  }
  ASSERT_EQ(spool->QueuedCount(), 4u);
  PutFileOfEarlierRun(spoolDir / "A0000002.dd8", 4, 5);
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    spool->OnTick();
  }
  EXPECT_EQ(spool->QueuedCount(), 4u);
  EXPECT_THAT(Drain(), ElementsAre(1, 2, 3, 4));
  EXPECT_THAT(NamesInSpool(), ElementsAre("notes.txt"));
}

TEST_F(EventSpoolTest, AFileDeletedByHandIsNotSent) {
  fs::create_directory(spoolDir);
  MakeSpool();
  StartAndLoad();
  Store({1});
  Store({2});
  fs::remove(spoolDir / "1CB33733.dd8");
  EXPECT_THAT(Drain(), ElementsAre(2));
  EXPECT_THAT(errors, IsEmpty());
}

TEST_F(EventSpoolTest, AFileStillBeingWrittenIsTriedAgainLaterAndAnOldEmptyOneRemoved) {
  fs::create_directory(spoolDir);
  PutFileOfEarlierRun(spoolDir / "5265C00.dd8", 1, 10);
  WriteFileBytes(spoolDir / "5265C01.dd8", "");  // just created by whoever copies it in
  WriteFileBytes(spoolDir / "5265C02.dd8", "");  // a crash left it long ago
  fs::last_write_time(spoolDir / "5265C02.dd8", WholeSecondsNow() - std::chrono::minutes(5));
  MakeSpool();
  StartAndLoad();
  // The young empty file is passed by for now; the old one is gone without a word.
  EXPECT_THAT(Drain(), ElementsAre(1));
  EXPECT_THAT(NamesInSpool(), ElementsAre("5265C01.dd8"));
  EXPECT_TRUE(spool->HasWaiting());
  EXPECT_THAT(errors, IsEmpty());

  // Its writer finishes; it is tried again after a while and sent.
  WriteFileBytes(spoolDir / "5265C01.dd8", FileBytes(2));
  EXPECT_FALSE(spool->Oldest().has_value()) << "not before the retry";
  clock.Advance(EventSpool::kUnreadableRetryMs + 1);
  EXPECT_THAT(Drain(), ElementsAre(2));
}

TEST_F(EventSpoolTest, ARecordPassedOverGoesBehindEverythingWaitingNow) {
  fs::create_directory(spoolDir);
  MakeSpool();
  StartAndLoad();
  Store({1, 2, 3});
  spool->PassOver(spool->Oldest()->id);
  Store({4});
  EXPECT_THAT(Drain(), ElementsAre(2, 3, 1, 4));
}

TEST_F(EventSpoolTest, PrefixWithANameStartWritesAndSendsOnlyItsOwnFiles) {
  fs::create_directory(spoolDir);
  PutFileOfEarlierRun(spoolDir / "5265C00.dd8", 7, 10);  // not ours: lacks the name start
  PutFileOfEarlierRun(spoolDir / "ev5265C00.dd8", 6, 10);
  MakeSpool(true, EventSpool::kMaxHeldRecords, Prefix() + "ev");
  StartAndLoad();
  Store({1});
  EXPECT_THAT(NamesInSpool(), ElementsAre("5265C00.dd8", "ev1CB33733.dd8", "ev5265C00.dd8"));
  EXPECT_THAT(Drain(), ElementsAre(6, 1));
  EXPECT_THAT(NamesInSpool(), ElementsAre("5265C00.dd8"));
}

TEST_F(EventSpoolTest, ClockOutsideTheCalendarReportsTheNameAndStillSpools) {
  fs::create_directory(spoolDir);
  MakeSpool();
  StartAndLoad();
  clock.SetNow(std::numeric_limits<double>::quiet_NaN());
  Store({1});
  clock.SetNow(1e300);
  Store({2});
  EXPECT_THAT(errors, ElementsAre(kErrorSpoolName, kErrorSpoolName));
  EXPECT_EQ(ReadFileBytes(spoolDir / ".dd8"), FileBytes(1));
  EXPECT_EQ(ReadFileBytes(spoolDir / "-1.dd8"), FileBytes(2));
  EXPECT_THAT(Drain(), ElementsAre(1, 2));
}

}  // namespace
}  // namespace drv
