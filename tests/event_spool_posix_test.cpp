#include <sys/resource.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "base/error_codes.h"
#include "delivery/event_spool.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;

// Lowers the process's open-file limit for the life of the object.
class OpenFileLimit {
 public:
  explicit OpenFileLimit(rlim_t limit) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = limit;
    active_ = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
  }
  ~OpenFileLimit() {
    if (active_) setrlimit(RLIMIT_NOFILE, &saved_);
  }
  bool Active() const { return active_; }

 private:
  rlimit saved_{};
  bool active_ = false;
};

// Records held while the disk was gone are all written when the program ends, however few files
// the process may have open at once.
TEST(EventSpoolPosixTest, ClosingWritesThousandsOfHeldRecordsUnderALowOpenFileLimit) {
  testing::TempDir dir;
  const fs::path spoolDir = dir.Path() / "spool";
  testing::FakeClock clock;
  clock.SetNow(EncodeDateTime({2026, 12, 5, 13, 45, 7, 123}));
  EventSpool spool(clock, spoolDir.string() + "/", true, [](int) {});
  spool.Start();  // no directory yet
  constexpr int kHeld = 3000;
  for (int i = 0; i < kHeld; ++i) {
    EventRecord record;
    record.ObjectNumber = i;
    ASSERT_TRUE(
        spool.StoreEventRecords(std::vector<EventRecordBytes>{SerializeEventRecord(record)}));
    clock.Advance(1);
  }
  ASSERT_EQ(spool.RecordsHeldInMemory(), std::size_t{kHeld});

  fs::create_directory(spoolDir);
  {
    const OpenFileLimit limit(64);
    ASSERT_TRUE(limit.Active());
    spool.WriteHeldRecords();
  }
  EXPECT_EQ(spool.RecordsHeldInMemory(), 0u);
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(spoolDir)) {
    files += entry.path().extension() == ".dd8" ? 1 : 0;
  }
  EXPECT_EQ(files, std::size_t{kHeld});
}

// The directory goes from under a running driver (Windows keeps a directory with an open file).
TEST(EventSpoolPosixTest, FailingAgainAfterARecoveryIsReportedAgain) {
  testing::TempDir dir;
  const fs::path spoolDir = dir.Path() / "spool";
  fs::create_directory(spoolDir);
  testing::FakeClock clock;
  std::vector<int> errors;
  EventSpool spool(clock, spoolDir.string() + "/", false,
                   [&](int code) { errors.push_back(code); });
  spool.Start();
  const std::vector<EventRecordBytes> frame{SerializeEventRecord(EventRecord{})};
  fs::remove_all(spoolDir);
  EXPECT_TRUE(spool.StoreEventRecords(frame));
  EXPECT_TRUE(spool.StoreEventRecords(frame));
  fs::create_directory(spoolDir);
  EXPECT_TRUE(spool.StoreEventRecords(frame));
  fs::remove_all(spoolDir);
  EXPECT_TRUE(spool.StoreEventRecords(frame));
  EXPECT_EQ(errors, (std::vector<int>{kErrorSpoolWrite, kErrorSpoolWrite}));
  EXPECT_EQ(spool.RecordsHeldInMemory(), 3u);
}

}  // namespace
}  // namespace drv
