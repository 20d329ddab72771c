#include "delivery/spool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/error_codes.h"
#include "delivery/message_types.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_session_link.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
using drv::testing::FakeClock;
using drv::testing::FakeSessionLink;
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

std::vector<uint8_t> Bytes(const EventRecordBytes& record) {
  return std::vector<uint8_t>(record.begin(), record.end());
}

std::string AsString(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

int32_t ObjectNumberIn(const std::vector<uint8_t>& bytes) {
  const auto record = ParseEventRecord(bytes);
  return record ? record->ObjectNumber : -1;
}

std::vector<std::string> NamesIn(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class SpoolTest : public ::testing::Test {
 protected:
  SpoolTest() { clock.SetNow(kFifthAt134507); }

  std::string Prefix() const { return dir.path().string() + "/"; }

  EventSpool& MakeSpool(std::string prefix, ISessionLink* link,
                        std::size_t maxHeld = EventSpool::kMaxHeldRecords) {
    spool = std::make_unique<EventSpool>(
        clock, std::move(prefix), link, [this](int code) { errors.push_back(code); }, maxHeld);
    return *spool;
  }
  EventSpool& MakeSpool() { return MakeSpool(Prefix(), &session); }

  // A spool file as the driver writes it.
  void PutSpoolFile(const std::string& name, int32_t objectNumber) {
    WriteFileBytes(dir.path() / name, AsString(SpoolFileBytes(Record(objectNumber))));
  }

  void Tick() {
    clock.Advance(200);
    spool->ResendStep();
  }

  // The object numbers of the records in the directory's spool files, by name.
  std::vector<int32_t> SpooledObjectNumbers(const fs::path& directory) {
    std::vector<int32_t> numbers;
    for (const std::string& name : NamesIn(directory)) {
      if (!IsSpoolFileName(name, "")) continue;
      const std::string bytes = ReadFileBytes(directory / name);
      numbers.push_back(ObjectNumberIn(std::vector<uint8_t>(bytes.begin() + 4, bytes.end())));
    }
    return numbers;
  }

  TempDir dir;
  FakeClock clock;
  FakeSessionLink session;
  std::vector<int> errors;
  std::unique_ptr<EventSpool> spool;
};

TEST(SpoolFileNameTest, MillisecondsSinceTheStartOfTheMonthInHex) {
  const struct {
    CivilTime time;
    const char* name;
  } cases[] = {
      {{2026, 3, 1, 0, 0, 0, 0}, "5265C00.dd8"},
      {{2026, 1, 31, 23, 59, 59, 999}, "A4CB7FFF.dd8"},
      {{2026, 12, 5, 13, 45, 7, 123}, "1CB33733.dd8"},
      {{1999, 2, 10, 0, 0, 1, 10}, "337F9BF2.dd8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SpoolFileName(c.time), c.name);
  }
}

TEST(SpoolFileNameTest, RejectsTimesTheClockCannotShow) {
  const CivilTime cases[] = {
      {2026, 1, 0, 0, 0, 0, 0},  {2026, 1, 32, 0, 0, 0, 0}, {2026, 1, 1, 24, 0, 0, 0},
      {2026, 1, 1, 0, 60, 0, 0}, {2026, 1, 1, 0, 0, 60, 0}, {2026, 1, 1, 0, 0, 0, 1000},
      {2026, 1, 1, -1, 0, 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_THROW(SpoolFileName(c), std::out_of_range)
        << c.day << " " << c.hour << ":" << c.minute << ":" << c.second << "." << c.millisecond;
  }
}

TEST(SpoolPrefixTest, SplitsIntoDirectoryAndNameStart) {
  const struct {
    const char* prefix;
    const char* directory;
    const char* namePrefix;
  } cases[] = {
      {"", "", ""},
      {"/var/spool/drv/", "/var/spool/drv/", ""},
      {"/var/spool/drv/ev", "/var/spool/drv/", "ev"},
      {"spool/", "spool/", ""},
      {"ev", "", "ev"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prefix);
    const SpoolLocation location = SplitSpoolPrefix(c.prefix);
    EXPECT_EQ(location.directory, c.directory);
    EXPECT_EQ(location.namePrefix, c.namePrefix);
  }
  EXPECT_TRUE(IsSpoolFileName("1CB33733.dd8", ""));
  EXPECT_TRUE(IsSpoolFileName("1CB33733-1.DD8", ""));
  EXPECT_TRUE(IsSpoolFileName("ev1CB33733.dd8", "ev"));
  EXPECT_FALSE(IsSpoolFileName("1CB33733.dd8", "ev"));
  EXPECT_FALSE(IsSpoolFileName("1CB33733.dd8.bad", ""));
  EXPECT_FALSE(IsSpoolFileName(".spool-12-0.tmp", ""));
}

TEST(ReadSpoolFileTest, ReadsTypeAndPayloadOrSaysWhyNot) {
  TempDir dir;
  WriteFileBytes(dir.file("record.dd8"), AsString(SpoolFileBytes(Record(41234))));
  WriteFileBytes(dir.file("four.dd8"), std::string("\x04\x03\x02\x01", 4));
  WriteFileBytes(dir.file("three.dd8"), "abc");
  WriteFileBytes(dir.file("empty.dd8"), "");
  WriteFileBytes(dir.file("huge.dd8"), std::string(kMaxSpoolFileSize + 1, 'x'));
  fs::create_directory(dir.path() / "folder.dd8");
  ASSERT_EQ(::mkfifo(dir.file("pipe.dd8").c_str(), 0600), 0);

  SpoolReadError error = SpoolReadError::None;
  const auto record = ReadSpoolFile(dir.file("record.dd8"), &error);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(error, SpoolReadError::None);
  EXPECT_EQ(record->type, MsgEventRecord);
  EXPECT_EQ(record->payload, Bytes(Record(41234)));

  const auto four = ReadSpoolFile(dir.file("four.dd8"), &error);
  ASSERT_TRUE(four.has_value());
  EXPECT_EQ(four->type, 0x01020304u);
  EXPECT_THAT(four->payload, IsEmpty());

  const struct {
    const char* name;
    SpoolReadError error;
  } failures[] = {
      {"missing.dd8", SpoolReadError::NotFound},
      {"three.dd8", SpoolReadError::TooShort},
      {"empty.dd8", SpoolReadError::TooShort},
      {"huge.dd8", SpoolReadError::TooLarge},
      {"folder.dd8", SpoolReadError::NotRegularFile},
      // Must come back at once rather than wait for a writer.
      {"pipe.dd8", SpoolReadError::NotRegularFile},
  };
  for (const auto& c : failures) {
    SCOPED_TRACE(c.name);
    error = SpoolReadError::None;
    EXPECT_FALSE(ReadSpoolFile(dir.file(c.name), &error).has_value());
    EXPECT_EQ(error, c.error);
    EXPECT_FALSE(ReadSpoolFile(dir.file(c.name)).has_value());
  }
}

TEST_F(SpoolTest, QueuesOnlyWhenConnectedAcceptedAndNothingPending) {
  const struct {
    bool connected;
    bool introduced;
    bool pending;
    bool queued;
  } cases[] = {
      {true, true, false, true},   {true, true, true, false},    {true, false, false, false},
      {false, true, false, false}, {false, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "connected=" << c.connected << " introduced="
                                      << c.introduced << " pending=" << c.pending);
    fs::remove_all(dir.path());
    fs::create_directory(dir.path());
    session = FakeSessionLink();
    MakeSpool();
    if (c.pending) {
      PutSpoolFile("5265C00.dd8", 1);
      session.SetUp();
      spool->ResendStep();
      ASSERT_FALSE(spool->PendingSpoolPath().empty());
      session.messages.clear();
    }
    session.isConnected = c.connected;
    session.isIntroduced = c.introduced;

    spool->DeliverEventRecord(Record(41234));

    const std::string spooledName = "1CB33733.dd8";
    if (c.queued) {
      ASSERT_EQ(session.messages.size(), 1u);
      EXPECT_EQ(session.messages[0].type, MsgEventRecord);
      EXPECT_EQ(session.messages[0].payload, Bytes(Record(41234)));
      EXPECT_FALSE(fs::exists(dir.path() / spooledName));
    } else {
      EXPECT_THAT(session.messages, IsEmpty());
      EXPECT_EQ(ReadFileBytes(dir.path() / spooledName), AsString(SpoolFileBytes(Record(41234))));
    }
    EXPECT_THAT(errors, IsEmpty());
  }
}

TEST_F(SpoolTest, WithoutSessionRecordsAreSpooledAndKept) {
  PutSpoolFile("5265C00.dd8", 1);
  MakeSpool(Prefix(), nullptr);
  spool->DeliverEventRecord(Record(41234));
  for (int i = 0; i < 50; ++i) Tick();
  EXPECT_THAT(NamesIn(dir.path()), ElementsAre("1CB33733.dd8", "5265C00.dd8"));
  EXPECT_TRUE(spool->PendingSpoolPath().empty());
  EXPECT_THAT(errors, IsEmpty());
}

TEST_F(SpoolTest, RecordsOfOneMillisecondGetFilesOfTheirOwnAndNoFileIsOverwritten) {
  // A file of the same moment of an earlier month.
  WriteFileBytes(dir.path() / "1CB33733.dd8", "earlier month");
  MakeSpool();
  for (int32_t object : {1, 2, 3}) spool->DeliverEventRecord(Record(object));

  EXPECT_EQ(ReadFileBytes(dir.path() / "1CB33733.dd8"), "earlier month");
  // Only finished spool files: no temporary file is left behind.
  EXPECT_THAT(NamesIn(dir.path()),
              ElementsAre("1CB33733-1.dd8", "1CB33733-2.dd8", "1CB33733-3.dd8", "1CB33733.dd8"));
  for (int32_t object : {1, 2, 3}) {
    const std::string name = "1CB33733-" + std::to_string(object) + ".dd8";
    EXPECT_EQ(ReadFileBytes(dir.path() / name), AsString(SpoolFileBytes(Record(object)))) << name;
  }
}

TEST_F(SpoolTest, PrefixWithNameStartWritesAndResendsOnlyItsOwnFiles) {
  PutSpoolFile("5265C00.dd8", 7);  // not ours: lacks the name start
  MakeSpool(Prefix() + "ev", &session);
  spool->DeliverEventRecord(Record(41234));
  EXPECT_TRUE(fs::exists(dir.path() / "ev1CB33733.dd8"));

  session.SetUp();
  spool->OnConnected();
  Tick();
  ASSERT_EQ(session.messages.size(), 1u);
  EXPECT_EQ(ObjectNumberIn(session.messages[0].payload), 41234);
  EXPECT_EQ(spool->PendingSpoolPath(), Prefix() + "ev1CB33733.dd8");

  spool->OnEventAcknowledged();
  Tick();
  EXPECT_EQ(session.messages.size(), 1u);
  EXPECT_THAT(NamesIn(dir.path()), ElementsAre("5265C00.dd8"));
}

TEST_F(SpoolTest, ResendsEveryThreeSecondsUntilAcknowledgedThenTheNextFile) {
  // Files left by an earlier run.
  PutSpoolFile("5265C00.dd8", 1);
  PutSpoolFile("5265C01.dd8", 2);
  MakeSpool();
  session.SetUp();
  spool->OnConnected();

  Tick();
  ASSERT_EQ(session.messages.size(), 1u);
  const std::string first = spool->PendingSpoolPath();
  const int32_t firstObject = ObjectNumberIn(session.messages[0].payload);
  EXPECT_EQ(ReadFileBytes(first),
            AsString(SpoolFileBytes(Record(firstObject))));  // the pending file's own record
  EXPECT_EQ(session.messages[0].type, MsgEventRecord);
  EXPECT_EQ(spool->LastResendTime(), clock.Now());

  // Exactly 3 seconds later is not yet "more than 3 seconds".
  for (int i = 0; i < 15; ++i) Tick();
  EXPECT_EQ(session.messages.size(), 1u);
  Tick();
  ASSERT_EQ(session.messages.size(), 2u);
  EXPECT_EQ(spool->PendingSpoolPath(), first);
  EXPECT_EQ(session.messages[1].payload, session.messages[0].payload);

  clock.Advance(50);
  spool->OnEventAcknowledged();
  EXPECT_FALSE(fs::exists(first));
  EXPECT_TRUE(spool->PendingSpoolPath().empty());
  EXPECT_EQ(spool->LastResendTime(), clock.Now() - 1.0);

  Tick();  // the next file goes on the very next tick
  ASSERT_EQ(session.messages.size(), 3u);
  EXPECT_NE(spool->PendingSpoolPath(), first);
  EXPECT_EQ(ObjectNumberIn(session.messages[2].payload), firstObject == 1 ? 2 : 1);

  spool->OnEventAcknowledged();
  for (int i = 0; i < 20; ++i) Tick();
  EXPECT_EQ(session.messages.size(), 3u);
  EXPECT_THAT(NamesIn(dir.path()), IsEmpty());
}

TEST_F(SpoolTest, PendingFileGoesAgainEvenWhenNewerFilesComeFirstInTheDirectory) {
  PutSpoolFile("5265C00.dd8", 1);
  MakeSpool();
  session.SetUp();
  Tick();
  const std::string pending = spool->PendingSpoolPath();
  ASSERT_FALSE(pending.empty());

  // The acknowledgement names no file; it must release the one file that is out.
  for (int32_t object = 100; object < 140; ++object) {
    PutSpoolFile("A" + std::to_string(object) + ".dd8", object);
  }
  for (int resend = 0; resend < 3; ++resend) {
    for (int i = 0; i < 16; ++i) Tick();
    EXPECT_EQ(spool->PendingSpoolPath(), pending);
    EXPECT_EQ(ObjectNumberIn(session.messages.back().payload), 1);
  }
  EXPECT_EQ(session.messages.size(), 4u);
}

TEST_F(SpoolTest, FilesGoneOrAddedSinceTheDirectoryPassAreHandled) {
  PutSpoolFile("5265C00.dd8", 1);
  PutSpoolFile("5265C01.dd8", 2);
  PutSpoolFile("5265C02.dd8", 3);
  MakeSpool();
  session.SetUp();
  spool->OnConnected();

  Tick();  // the pass finds all three; one goes out
  ASSERT_EQ(session.messages.size(), 1u);
  std::vector<int32_t> sent{ObjectNumberIn(session.messages[0].payload)};
  spool->OnEventAcknowledged();

  // One of the two names still waiting is taken away, and a new file comes in.
  for (const auto& name : NamesIn(dir.path())) {
    const auto bytes = ReadFileBytes(dir.path() / name);
    if (ObjectNumberIn(std::vector<uint8_t>(bytes.begin() + 4, bytes.end())) != sent[0]) {
      fs::remove(dir.path() / name);
      break;
    }
  }
  PutSpoolFile("5265C09.dd8", 9);

  for (int i = 0; i < 5; ++i) {
    Tick();
    if (!spool->PendingSpoolPath().empty()) {
      sent.push_back(ObjectNumberIn(session.messages.back().payload));
      spool->OnEventAcknowledged();
    }
  }
  EXPECT_EQ(sent.size(), 3u) << "the removed file is passed by, the new one is not forgotten";
  EXPECT_EQ(sent.back(), 9);
  EXPECT_THAT(NamesIn(dir.path()), IsEmpty());
  EXPECT_THAT(errors, IsEmpty());
}

TEST_F(SpoolTest, ResendWaitsForTheServersAccept) {
  PutSpoolFile("5265C00.dd8", 1);
  MakeSpool();
  session.isConnected = true;
  spool->OnConnected();
  for (int i = 0; i < 30; ++i) Tick();
  EXPECT_THAT(session.messages, IsEmpty());

  session.isIntroduced = true;
  Tick();
  EXPECT_EQ(session.messages.size(), 1u);

  // Not connected any more: no resend, however long.
  session.isConnected = false;
  for (int i = 0; i < 30; ++i) Tick();
  EXPECT_EQ(session.messages.size(), 1u);
}

TEST_F(SpoolTest, FileOfJustTheTypeIsResentWithAnEmptyPayload) {
  WriteFileBytes(dir.path() / "5265C00.dd8", std::string("\x42\x00\x00\x03", 4));
  MakeSpool();
  session.SetUp();
  Tick();
  ASSERT_EQ(session.messages.size(), 1u);
  EXPECT_EQ(session.messages[0].type, MsgEventRecord);
  EXPECT_THAT(session.messages[0].payload, IsEmpty());
  EXPECT_THAT(errors, IsEmpty());
}

TEST_F(SpoolTest, AcknowledgementWithNothingPendingChangesNothing) {
  PutSpoolFile("5265C00.dd8", 1);
  MakeSpool();
  spool->OnEventAcknowledged();
  EXPECT_TRUE(spool->PendingSpoolPath().empty());
  EXPECT_EQ(spool->LastResendTime(), 0.0);
  EXPECT_THAT(NamesIn(dir.path()), ElementsAre("5265C00.dd8"));
}

TEST_F(SpoolTest, AcknowledgementOfAVanishedFileReleasesTheSpool) {
  PutSpoolFile("5265C00.dd8", 1);
  MakeSpool();
  session.SetUp();
  Tick();
  fs::remove(spool->PendingSpoolPath());
  spool->OnEventAcknowledged();
  EXPECT_TRUE(spool->PendingSpoolPath().empty());
  spool->DeliverEventRecord(Record(2));
  EXPECT_EQ(session.messages.size(), 2u);
}

TEST_F(SpoolTest, ReconnectLetsThePendingFileGoOnTheNextTick) {
  PutSpoolFile("5265C00.dd8", 1);
  MakeSpool();
  session.SetUp();
  Tick();
  Tick();
  EXPECT_EQ(session.messages.size(), 1u);
  spool->OnConnected();
  EXPECT_EQ(spool->LastResendTime(), clock.Now() - 1.0);
  Tick();
  EXPECT_EQ(session.messages.size(), 2u);
}

TEST_F(SpoolTest, ClockSetBackDoesNotHoldResends) {
  PutSpoolFile("5265C00.dd8", 1);
  MakeSpool();
  session.SetUp();
  Tick();
  clock.SetNow(clock.Now() - 60 * kOneMinute);
  Tick();
  EXPECT_EQ(session.messages.size(), 2u);
  Tick();  // and then the usual 3 seconds again
  EXPECT_EQ(session.messages.size(), 2u);
}

TEST_F(SpoolTest, UnwritableSpoolKeepsRecordsInMemoryAndWritesThemLaterInOrder) {
  const fs::path spoolDir = dir.path() / "spool";
  MakeSpool(spoolDir.string() + "/", &session);
  for (int32_t object : {1, 2, 3}) spool->DeliverEventRecord(Record(object));
  EXPECT_EQ(spool->RecordsHeldInMemory(), 3u);
  // The session is up now, but the record must not overtake the held ones.
  session.SetUp();
  spool->DeliverEventRecord(Record(4));
  EXPECT_THAT(session.messages, IsEmpty());
  for (int i = 0; i < 5; ++i) Tick();
  EXPECT_EQ(spool->RecordsHeldInMemory(), 4u);
  EXPECT_THAT(errors, ElementsAre(kErrorSpoolWrite));

  session.SetUp(false);
  fs::create_directory(spoolDir);
  Tick();
  EXPECT_EQ(spool->RecordsHeldInMemory(), 0u);
  // Written within one millisecond, so the suffixes show the order of writing.
  std::string base = SpoolFileName(DecodeDateTime(clock.Now()));
  base.resize(base.size() - 4);
  EXPECT_EQ(NamesIn(spoolDir).size(), 4u);
  for (int32_t object : {1, 2, 3, 4}) {
    const std::string name = base + (object == 1 ? "" : "-" + std::to_string(object - 1)) + ".dd8";
    EXPECT_EQ(ReadFileBytes(spoolDir / name), AsString(SpoolFileBytes(Record(object)))) << name;
  }
  EXPECT_THAT(errors, ElementsAre(kErrorSpoolWrite));

  // Failing again after the recovery is reported again.
  fs::rename(spoolDir, dir.path() / "moved");
  spool->DeliverEventRecord(Record(5));
  EXPECT_EQ(spool->RecordsHeldInMemory(), 1u);
  EXPECT_THAT(errors, ElementsAre(kErrorSpoolWrite, kErrorSpoolWrite));
}

TEST_F(SpoolTest, BeyondTheMemoryBoundTheOldestHeldRecordsGiveWay) {
  const fs::path spoolDir = dir.path() / "spool";
  MakeSpool(spoolDir.string() + "/", nullptr, 3);
  for (int32_t object = 1; object <= 5; ++object) spool->DeliverEventRecord(Record(object));
  EXPECT_EQ(spool->RecordsHeldInMemory(), 3u);
  EXPECT_EQ(spool->RecordsDropped(), 2u);

  fs::create_directory(spoolDir);
  Tick();
  std::vector<int32_t> written = SpooledObjectNumbers(spoolDir);
  std::sort(written.begin(), written.end());
  EXPECT_THAT(written, ElementsAre(3, 4, 5));
}

TEST_F(SpoolTest, DamagedFilesAreSetAsideOnceAndDoNotBlockTheOthers) {
  WriteFileBytes(dir.path() / "A.dd8", "ab");
  WriteFileBytes(dir.path() / "A.dd8.bad", "set aside earlier");
  fs::create_directory(dir.path() / "B.dd8");
  PutSpoolFile("C.dd8", 3);
  MakeSpool();
  session.SetUp();

  for (int i = 0; i < 10; ++i) {
    Tick();
    if (!spool->PendingSpoolPath().empty()) spool->OnEventAcknowledged();
  }
  ASSERT_EQ(session.messages.size(), 1u);
  EXPECT_EQ(ObjectNumberIn(session.messages[0].payload), 3);
  EXPECT_THAT(NamesIn(dir.path()), ElementsAre("A.dd8.1.bad", "A.dd8.bad", "B.dd8.bad"));
  EXPECT_EQ(ReadFileBytes(dir.path() / "A.dd8.1.bad"), "ab");
  EXPECT_EQ(ReadFileBytes(dir.path() / "A.dd8.bad"), "set aside earlier");
  EXPECT_THAT(errors, ElementsAre(kErrorSpoolFileDamaged, kErrorSpoolFileDamaged));
}

TEST_F(SpoolTest, LeftoverTemporaryFilesAreNotResent) {
  WriteFileBytes(dir.path() / ".spool-123-0.tmp", AsString(SpoolFileBytes(Record(1))));
  MakeSpool();
  session.SetUp();
  for (int i = 0; i < 5; ++i) Tick();
  EXPECT_THAT(session.messages, IsEmpty());
}

TEST_F(SpoolTest, ClockOutsideTheCalendarReportsTheNameAndStillSpools) {
  MakeSpool();
  clock.SetNow(std::numeric_limits<double>::quiet_NaN());
  spool->DeliverEventRecord(Record(1));
  clock.SetNow(1e300);
  spool->DeliverEventRecord(Record(2));
  EXPECT_THAT(errors, ElementsAre(kErrorSpoolName, kErrorSpoolName));
  EXPECT_EQ(ReadFileBytes(dir.path() / ".dd8"), AsString(SpoolFileBytes(Record(1))));
  EXPECT_EQ(ReadFileBytes(dir.path() / "-1.dd8"), AsString(SpoolFileBytes(Record(2))));
}

TEST_F(SpoolTest, RecordRefusedBySessionIsSpooled) {
  MakeSpool();
  session.SetUp();
  session.refuseWithException = true;
  spool->DeliverEventRecord(Record(1));
  EXPECT_EQ(ReadFileBytes(dir.path() / "1CB33733.dd8"), AsString(SpoolFileBytes(Record(1))));
}

}  // namespace
}  // namespace drv
