// The spool and the session together, as the driver wires them: records stored by the main
// thread reach a fake server through the session, and each acknowledgement deletes the file of
// the record that was out.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "delivery/event_spool.h"
#include "delivery/message_types.h"
#include "delivery/protocol.h"
#include "delivery/session.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_connection.h"
#include "fakes/manual_main_thread.h"
#include "fakes/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using testing::FakeClock;
using testing::FakeConnectionFactory;
using testing::FakeLink;
using testing::InlineMainThread;
using ::testing::IsEmpty;
using testing::TempDir;

EventRecordBytes Record(int32_t objectNumber) {
  EventRecord record;
  record.ObjectNumber = objectNumber;
  record.SetEventCode("130");
  return SerializeEventRecord(record);
}

class StoreAndForwardTest : public ::testing::Test {
 protected:
  StoreAndForwardTest() {
    factory.clock = &clock;
    fs::create_directory(spoolDir);
  }

  void Start() {
    spool = std::make_unique<EventSpool>(clock, spoolDir.string() + "/", true,
                                         [this](int code) { errors.push_back(code); });
    spool->Start();
    for (int i = 0; i < 10000 && !spool->BacklogLoaded(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      spool->OnTick();
    }
    ASSERT_TRUE(spool->BacklogLoaded());
    session = std::make_unique<MessageServerSession>(
        clock, mainThread, factory, *spool, [] { return ServerEndpoint{}; }, "1.0.0.1",
        SessionHooks{});
  }

  void Store(std::initializer_list<int32_t> objects) {
    std::vector<EventRecordBytes> frame;
    for (int32_t object : objects) frame.push_back(Record(object));
    spool->StoreEventRecords(frame);
  }

  // A connection whose server accepts the driver: the connection step, then the four
  // introduction messages written and answered.
  std::shared_ptr<FakeLink> ConnectAndIntroduce() {
    auto link = factory.PrepareNext();
    link->QueueAnswer(MsgAccepted);
    for (int i = 0; i < 3; ++i) link->QueueAnswer(MsgPoll);
    clock.Advance(kAttemptSpacingMs + 1);
    for (int i = 0; i < 5; ++i) session->Step();
    EXPECT_TRUE(session->IsIntroduced());
    return link;
  }

  static std::vector<int32_t> ObjectsWritten(const FakeLink& link) {
    std::vector<int32_t> objects;
    for (const auto& message : link.WrittenMessages()) {
      if (message.type == MsgEventRecord)
        objects.push_back(ParseEventRecord(message.payload)->ObjectNumber);
    }
    return objects;
  }

  std::vector<int32_t> ObjectsOnDisk() {
    spool->SettleDeletions();
    std::vector<int32_t> objects;
    for (const auto& entry : fs::directory_iterator(spoolDir)) {
      if (entry.path().filename() == kSpoolLockFileName) continue;
      const std::string bytes = testing::ReadFileBytes(entry.path());
      const std::vector<uint8_t> payload(bytes.begin() + 4, bytes.end());
      objects.push_back(ParseEventRecord(payload)->ObjectNumber);
    }
    std::sort(objects.begin(), objects.end());
    return objects;
  }

  TempDir dir;
  const fs::path spoolDir = dir.Path() / "spool";
  FakeClock clock;
  InlineMainThread mainThread;
  FakeConnectionFactory factory;
  std::vector<int> errors;
  std::unique_ptr<EventSpool> spool;
  std::unique_ptr<MessageServerSession> session;
};

TEST_F(StoreAndForwardTest, EachAcknowledgementDeletesTheFileOfTheRecordThatWasOut) {
  Start();
  Store({1, 2, 3});
  auto link = ConnectAndIntroduce();
  EXPECT_THAT(ObjectsOnDisk(), ElementsAre(1, 2, 3));

  link->QueueAnswer(MsgEventAck);
  session->Step();
  EXPECT_THAT(ObjectsWritten(*link), ElementsAre(1));
  EXPECT_THAT(ObjectsOnDisk(), ElementsAre(2, 3));
  link->QueueAnswer(MsgPoll);  // an answer that acknowledges nothing
  session->Step();
  EXPECT_THAT(ObjectsWritten(*link), ElementsAre(1, 2));
  EXPECT_THAT(ObjectsOnDisk(), ElementsAre(2, 3));
}

TEST_F(StoreAndForwardTest, TheRecordOutWhenTheConnectionDiesGoesAgainAndNothingIsSkipped) {
  Start();
  Store({1, 2});
  auto first = ConnectAndIntroduce();
  first->QueueEndOfStream();  // the server dies before it answers the first record
  session->Step();
  EXPECT_THAT(ObjectsWritten(*first), ElementsAre(1));
  for (int i = 0; i < 30 && session->IsConnected(); ++i) {
    clock.Advance(kPollIntervalMs + 1);
    session->Step();
  }
  ASSERT_FALSE(session->IsConnected());

  EXPECT_THAT(ObjectsOnDisk(), ElementsAre(1, 2));
  auto second = ConnectAndIntroduce();
  second->QueueAnswer(MsgEventAck);
  second->QueueAnswer(MsgEventAck);
  session->Step();
  session->Step();
  EXPECT_THAT(ObjectsWritten(*second), ElementsAre(1, 2));
  EXPECT_THAT(ObjectsOnDisk(), IsEmpty());
}

TEST_F(StoreAndForwardTest, AfterARestartTheOldRecordsGoFirstAndNewOnesFollow) {
  Start();
  Store({1, 2});
  session.reset();
  spool.reset();  // the process ends with both records unsent

  Start();
  Store({3});
  auto link = ConnectAndIntroduce();
  for (int i = 0; i < 3; ++i) link->QueueAnswer(MsgEventAck);
  for (int i = 0; i < 3; ++i) session->Step();
  EXPECT_THAT(ObjectsWritten(*link), ElementsAre(1, 2, 3));
  EXPECT_THAT(ObjectsOnDisk(), IsEmpty());
}

TEST_F(StoreAndForwardTest, RecordsHeldInMemoryGoStraightToTheServer) {
  fs::remove(spoolDir);  // the spool directory is gone
  Start();
  auto link = ConnectAndIntroduce();
  Store({1});
  Store({2});
  EXPECT_EQ(spool->RecordsHeldInMemory(), 2u);
  link->QueueAnswer(MsgEventAck);
  link->QueueAnswer(MsgEventAck);
  session->Step();
  session->Step();
  EXPECT_THAT(ObjectsWritten(*link), ElementsAre(1, 2));
  EXPECT_EQ(spool->QueuedCount(), 0u);

  // Delivered while held: nothing is left to write once the directory is back.
  fs::create_directory(spoolDir);
  spool->OnTick();
  EXPECT_EQ(spool->RecordsHeldInMemory(), 0u);
  EXPECT_THAT(ObjectsOnDisk(), IsEmpty());
}

}  // namespace
}  // namespace drv
