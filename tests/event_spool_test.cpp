#include "delivery/event_spool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
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

std::vector<std::string> NamesIn(const fs::path& directory) {
  std::vector<std::string> names;
  if (!fs::exists(directory)) return names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A file as an earlier run left it, written at `secondsAgo` before now.
void PutFileOfEarlierRun(const fs::path& path, int32_t objectNumber, int secondsAgo) {
  WriteFileBytes(path, FileBytes(objectNumber));
  // Whole seconds from one moment, so that files of the same age tie and their names decide.
  static const auto now =
      std::chrono::floor<std::chrono::seconds>(fs::file_time_type::clock::now());
  fs::last_write_time(path, now - std::chrono::seconds(secondsAgo));
}

class EventSpoolTest : public ::testing::Test {
 protected:
  EventSpoolTest() { clock.SetNow(kFifthAt134507); }

  std::string Prefix() const { return spoolDir.string() + "/"; }

  EventSpool& MakeSpool(bool forwarding = true, std::size_t maxHeld = EventSpool::kMaxHeldRecords,
                        std::string prefix = {}) {
    spool = std::make_unique<EventSpool>(
        clock, prefix.empty() ? Prefix() : prefix, forwarding,
        [this](int code) { errors.push_back(code); }, maxHeld);
    spool->SetRecordsQueuedListener([this] { ++wakeUps; });
    return *spool;
  }

  void Store(std::initializer_list<int32_t> objectNumbers) {
    std::vector<EventRecordBytes> frame;
    for (int32_t number : objectNumbers) frame.push_back(Record(number));
    spool->StoreEventRecords(frame);
  }

  // Takes records off the queue as the session does, acknowledging each; their object numbers.
  std::vector<int32_t> Drain() {
    std::vector<int32_t> sent;
    while (std::optional<QueuedRecord> record = spool->Oldest()) {
      EXPECT_EQ(record->type, MsgEventRecord);
      sent.push_back(ObjectNumberIn(record->payload));
      spool->Acknowledge(record->id);
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
  Store({1, 2, 3});
  EXPECT_EQ(wakeUps, 1);
  // On disk at return, one 31-byte file per record, none of them a temporary file.
  EXPECT_THAT(NamesIn(spoolDir), ElementsAre("1CB33733-1.dd8", "1CB33733-2.dd8", "1CB33733.dd8"));
  EXPECT_EQ(ReadFileBytes(spoolDir / "1CB33733.dd8"), FileBytes(1));
  EXPECT_EQ(ReadFileBytes(spoolDir / "1CB33733-2.dd8"), FileBytes(3));

  const std::optional<QueuedRecord> first = spool->Oldest();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(ObjectNumberIn(first->payload), 1);
  EXPECT_EQ(spool->Oldest()->id, first->id) << "the oldest stays until it is acknowledged";

  EXPECT_TRUE(spool->Acknowledge(first->id + 2));  // not the oldest: its own file goes
  EXPECT_THAT(NamesIn(spoolDir), ElementsAre("1CB33733-1.dd8", "1CB33733.dd8"));
  EXPECT_TRUE(spool->Acknowledge(first->id));
  EXPECT_THAT(NamesIn(spoolDir), ElementsAre("1CB33733-1.dd8"));
  EXPECT_FALSE(spool->Acknowledge(first->id));  // twice: nothing more
  EXPECT_EQ(spool->QueuedCount(), 1u);
  EXPECT_EQ(ObjectNumberIn(spool->Oldest()->payload), 2);

  EXPECT_THAT(Drain(), ElementsAre(2));
  EXPECT_THAT(NamesIn(spoolDir), IsEmpty());
  EXPECT_THAT(errors, IsEmpty());
}

TEST_F(EventSpoolTest, StatisticsFollowWhatIsStoredWaitingAndAcknowledged) {
  fs::create_directory(spoolDir);
  PutFileOfEarlierRun(spoolDir / "5265C00.dd8", 9, 60);
  const int64_t earlierRunMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::file_clock::to_sys(fs::last_write_time(spoolDir / "5265C00.dd8"))
              .time_since_epoch())
          .count();
  MakeSpool();
  spool->LoadBacklog();
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

TEST_F(EventSpoolTest, FilesOfAnEarlierRunGoFirstInTheOrderTheyWereWritten) {
  fs::create_directory(spoolDir);
  // The names repeat every month: the 31st's file is older than the 1st's.
  PutFileOfEarlierRun(spoolDir / "A4CB7FFF.dd8", 1, 60);
  PutFileOfEarlierRun(spoolDir / "5265C00-1.dd8", 3, 30);
  PutFileOfEarlierRun(spoolDir / "5265C00.dd8", 2, 30);
  WriteFileBytes(spoolDir / "5265C01.dd8", "ab");  // damaged
  WriteFileBytes(spoolDir / "5265C03.dd8", "");    // cut off by a crash before its flush
  WriteFileBytes(spoolDir / "5265C02.dd8.bad", "set aside earlier");
  WriteFileBytes(spoolDir / ".spool-123-0.tmp", FileBytes(9));  // never given its name
  MakeSpool();
  spool->LoadBacklog();
  EXPECT_EQ(wakeUps, 1);
  Store({4});

  EXPECT_THAT(Drain(), ElementsAre(1, 2, 3, 4));
  EXPECT_THAT(NamesIn(spoolDir),
              ElementsAre(".spool-123-0.tmp", "5265C01.dd8.bad", "5265C02.dd8.bad"));
  EXPECT_EQ(ReadFileBytes(spoolDir / "5265C01.dd8.bad"), "ab");
  EXPECT_THAT(errors, ElementsAre(kErrorSpoolFileDamaged));
}

TEST_F(EventSpoolTest, WhatOneRunLeavesTheNextSendsInOrder) {
  fs::create_directory(spoolDir);
  MakeSpool();
  Store({1, 2});
  Store({3});
  clock.Advance(1);
  Store({4});
  spool->Acknowledge(spool->Oldest()->id);  // 1 reached the server
  spool.reset();                            // the process ends

  MakeSpool();
  spool->LoadBacklog();
  Store({5});
  EXPECT_THAT(Drain(), ElementsAre(2, 3, 4, 5));
}

TEST_F(EventSpoolTest, WithoutASessionRecordsAreSpooledAndLeftForALaterRun) {
  fs::create_directory(spoolDir);
  PutFileOfEarlierRun(spoolDir / "5265C00.dd8", 1, 10);
  MakeSpool(false);
  spool->LoadBacklog();
  Store({2});
  for (int i = 0; i < 10; ++i) spool->OnTick();
  EXPECT_FALSE(spool->Oldest().has_value());
  EXPECT_EQ(wakeUps, 0);
  EXPECT_THAT(NamesIn(spoolDir), ElementsAre("1CB33733.dd8", "5265C00.dd8"));
  EXPECT_EQ(ReadFileBytes(spoolDir / "1CB33733.dd8"), FileBytes(2));
}

TEST_F(EventSpoolTest, RecordsTheDirectoryCannotTakeAreQueuedAllTheSameAndWrittenLaterInOrder) {
  MakeSpool();  // the directory does not exist yet
  Store({1, 2});
  Store({3});
  EXPECT_EQ(spool->RecordsHeldInMemory(), 3u);
  EXPECT_THAT(errors, ElementsAre(kErrorSpoolWrite)) << "once per run of failures";

  // Held records go to the server like any other: the first is acknowledged before the
  // directory works again, and must then never be written.
  ASSERT_EQ(ObjectNumberIn(spool->Oldest()->payload), 1);
  spool->Acknowledge(spool->Oldest()->id);

  fs::create_directory(spoolDir);
  Store({4});  // written behind the held ones
  EXPECT_EQ(spool->RecordsHeldInMemory(), 0u);
  EXPECT_THAT(NamesIn(spoolDir), ElementsAre("1CB33733-1.dd8", "1CB33733-2.dd8", "1CB33733.dd8"));
  EXPECT_EQ(ReadFileBytes(spoolDir / "1CB33733.dd8"), FileBytes(2));
  EXPECT_EQ(ReadFileBytes(spoolDir / "1CB33733-1.dd8"), FileBytes(3));
  EXPECT_EQ(ReadFileBytes(spoolDir / "1CB33733-2.dd8"), FileBytes(4));
  EXPECT_THAT(Drain(), ElementsAre(2, 3, 4));
  EXPECT_THAT(NamesIn(spoolDir), IsEmpty()) << "acknowledging a written record deletes its file";

  // Failing again after the recovery is reported again.
  fs::remove(spoolDir);
  Store({5});
  EXPECT_THAT(errors, ElementsAre(kErrorSpoolWrite, kErrorSpoolWrite));
}

TEST_F(EventSpoolTest, HeldRecordsCountAsWaitingAndInMemory) {
  MakeSpool();  // the directory does not exist
  Store({1, 2});
  const DeliveryStatistics statistics = spool->Statistics();
  EXPECT_EQ(statistics.recordsStored, 2u);
  EXPECT_EQ(statistics.recordsWaiting, 2u);
  EXPECT_EQ(statistics.recordsHeldInMemory, 2u);
}

TEST_F(EventSpoolTest, TheTickWritesHeldRecordsOnceTheDirectoryWorks) {
  MakeSpool();
  Store({1, 2});
  spool->OnTick();
  EXPECT_EQ(spool->RecordsHeldInMemory(), 2u);
  fs::create_directory(spoolDir);
  spool->OnTick();
  EXPECT_EQ(spool->RecordsHeldInMemory(), 0u);
  EXPECT_THAT(NamesIn(spoolDir), ElementsAre("1CB33733-1.dd8", "1CB33733.dd8"));

  // And a last try at the end of the program.
  fs::remove_all(spoolDir);
  Store({3});
  fs::create_directory(spoolDir);
  spool->WriteHeldRecords();
  const std::vector<std::string> names = NamesIn(spoolDir);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(ReadFileBytes(spoolDir / names[0]), FileBytes(3));
}

TEST_F(EventSpoolTest, BeyondTheMemoryBoundTheOldestHeldRecordsGiveWay) {
  MakeSpool(true, 3);
  Store({1, 2, 3, 4, 5});
  EXPECT_EQ(spool->RecordsHeldInMemory(), 3u);
  EXPECT_EQ(spool->RecordsDropped(), 2u);
  fs::create_directory(spoolDir);
  spool->OnTick();
  EXPECT_THAT(Drain(), ElementsAre(3, 4, 5));
}

TEST_F(EventSpoolTest, PrefixWithANameStartWritesAndSendsOnlyItsOwnFiles) {
  fs::create_directory(spoolDir);
  PutFileOfEarlierRun(spoolDir / "5265C00.dd8", 7, 10);  // not ours: lacks the name start
  MakeSpool(true, EventSpool::kMaxHeldRecords, Prefix() + "ev");
  spool->LoadBacklog();
  Store({1});
  EXPECT_THAT(NamesIn(spoolDir), ElementsAre("5265C00.dd8", "ev1CB33733.dd8"));
  EXPECT_THAT(Drain(), ElementsAre(1));
  EXPECT_THAT(NamesIn(spoolDir), ElementsAre("5265C00.dd8"));
}

TEST_F(EventSpoolTest, ClockOutsideTheCalendarReportsTheNameAndStillSpools) {
  fs::create_directory(spoolDir);
  MakeSpool();
  clock.SetNow(std::numeric_limits<double>::quiet_NaN());
  Store({1});
  clock.SetNow(1e300);
  Store({2});
  EXPECT_THAT(errors, ElementsAre(kErrorSpoolName, kErrorSpoolName));
  EXPECT_EQ(ReadFileBytes(spoolDir / ".dd8"), FileBytes(1));
  EXPECT_EQ(ReadFileBytes(spoolDir / "-1.dd8"), FileBytes(2));
}

}  // namespace
}  // namespace drv
