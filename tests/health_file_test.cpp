#include "app/health_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/health_text.h"
#include "base/file_io.h"
#include "fakes/fake_clock.h"
#include "fakes/temp_dir.h"

namespace drv {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// The writer against a file that is only recorded; a write fails while `failWrites` is set.
class HealthFileWriterTest : public ::testing::Test {
 protected:
  HealthSnapshot Snapshot() {
    ++snapshotsTaken;
    HealthSnapshot s;
    s.driverName = "station1";
    s.nowUnixMs = clock.UnixTimeMs();
    s.links = links;
    s.frames.accepted = framesAccepted;
    return s;
  }
  void Tick() {
    writer.OnTick(links, [this] { return Snapshot(); });
  }
  // Ticks every 200 ms for `ms`.
  void RunFor(uint32_t ms) {
    for (uint32_t elapsed = 0; elapsed < ms; elapsed += 200) {
      clock.Advance(200);
      Tick();
    }
  }

  testing::FakeClock clock;
  LinkStates links;
  uint64_t framesAccepted = 0;
  int snapshotsTaken = 0;
  bool failWrites = false;
  std::vector<std::string> writes;
  int failuresReported = 0;
  HealthFileWriter writer{clock, "/var/lib/x/station1.prom", 5000,
                          [this](const std::string& path, const std::string& text) {
                            if (failWrites) throw std::runtime_error("disk full");
                            EXPECT_EQ(path, "/var/lib/x/station1.prom");
                            writes.push_back(text);
                          },
                          [this] { ++failuresReported; }};
};

TEST_F(HealthFileWriterTest, WritesAtTheFirstTickThenOncePerInterval) {
  Tick();
  ASSERT_EQ(writes.size(), 1u);
  framesAccepted = 4;
  RunFor(4800);
  EXPECT_EQ(writes.size(), 1u);
  // Only a due write asks for a snapshot: the tick does not build one for nothing.
  EXPECT_EQ(snapshotsTaken, 1);
  RunFor(200);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_THAT(writes[1], HasSubstr("reply=\"05\"} 4\n"));
  RunFor(10000);
  EXPECT_EQ(writes.size(), 4u);
}

TEST_F(HealthFileWriterTest, EveryChangeOfALinkStateIsWrittenAtOnce) {
  Tick();
  const struct {
    const char* name;
    bool LinkStates::*state;
  } cases[] = {
      {"port", &LinkStates::portOpen},
      {"station link", &LinkStates::stationLinkUp},
      {"server connection", &LinkStates::serverConnected},
      {"introduction", &LinkStates::serverIntroduced},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool value : {true, false}) {
      const std::size_t before = writes.size();
      links.*c.state = value;
      RunFor(200);
      EXPECT_EQ(writes.size(), before + 1);
      // The new state is what was written.
      EXPECT_EQ(writes.back(), FormatHealthText(Snapshot()));
      RunFor(200);
      EXPECT_EQ(writes.size(), before + 1) << "an unchanged state is not written again";
    }
  }
}

// A failing file is reported once, tried again at the interval (not at every tick), and
// reported anew only after it was written in between.
TEST_F(HealthFileWriterTest, AFailureIsReportedOncePerRunOfFailures) {
  failWrites = true;
  Tick();
  RunFor(200);
  EXPECT_EQ(failuresReported, 1);
  EXPECT_EQ(snapshotsTaken, 1);
  RunFor(4800);
  EXPECT_EQ(snapshotsTaken, 2) << "tried again at the interval";
  EXPECT_EQ(failuresReported, 1);

  failWrites = false;
  RunFor(5000);
  EXPECT_EQ(writes.size(), 1u);
  failWrites = true;
  RunFor(5000);
  EXPECT_EQ(failuresReported, 2);
}

TEST_F(HealthFileWriterTest, WriteNowWritesWhateverTheTiming) {
  Tick();
  writer.WriteNow(Snapshot());
  writer.WriteNow(Snapshot());
  EXPECT_EQ(writes.size(), 3u);
  // And the interval counts from there.
  RunFor(4800);
  EXPECT_EQ(writes.size(), 3u);
}

// With the program's own file function: the file is replaced whole and nothing is left beside it.
TEST(HealthFileTest, ReplacesTheRealFileWhole) {
  testing::TempDir dir;
  testing::FakeClock clock;
  const std::string path = dir.File("station1.prom");
  testing::WriteFileBytes(path, std::string(100000, 'x'));
  HealthFileWriter writer(clock, path, 5000, ReplaceFileAtomically, [] { FAIL(); });
  HealthSnapshot snapshot;
  snapshot.driverName = "station1";
  writer.WriteNow(snapshot);
  EXPECT_EQ(testing::ReadFileBytes(path), FormatHealthText(snapshot));
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_THAT(names, ElementsAre("station1.prom"));
}

TEST(HealthFileTest, AMissingDirectoryIsAFailure) {
  testing::TempDir dir;
  testing::FakeClock clock;
  int failures = 0;
  HealthFileWriter writer(clock, dir.File("missing/station1.prom"), 5000, ReplaceFileAtomically,
                          [&failures] { ++failures; });
  writer.WriteNow(HealthSnapshot{});
  EXPECT_EQ(failures, 1);
}

}  // namespace
}  // namespace drv
