#include "receiver/link_supervision.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "base/error_codes.h"
#include "tests/fakes/fake_clock.h"

namespace drv {
namespace {

using drv::testing::FakeClock;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class LinkSupervisionTest : public ::testing::Test {
 protected:
  explicit LinkSupervisionTest(TDateTime attention = kOneMinute)
      : lastFrameTime(clock.Now()),
        supervisor(
            clock, attention, [this] { return lastFrameTime; },
            [this](bool up) {
              if (failRedraws > 0) {
                --failRedraws;
                throw std::runtime_error("window gone");
              }
              redraws.push_back(up);
            },
            [this](int code) { errors.push_back(code); }) {}

  // Ticks every 200 ms for the given time.
  void TickFor(uint32_t ms) {
    for (uint32_t elapsed = 0; elapsed < ms; elapsed += 200) {
      clock.Advance(200);
      supervisor.Tick();
    }
  }

  FakeClock clock;
  TDateTime lastFrameTime;
  int failRedraws = 0;
  std::vector<bool> redraws;
  std::vector<int> errors;
  LinkSupervisor supervisor;
};

TEST_F(LinkSupervisionTest, WithoutFramesAliveFromTheFirstTickUntilTheSilenceRunsOut) {
  const TDateTime start = lastFrameTime;
  EXPECT_FALSE(supervisor.StationLinkUp());
  TickFor(200);
  EXPECT_TRUE(supervisor.StationLinkUp());
  EXPECT_THAT(redraws, ElementsAre(true));

  // Exactly the allowed silence still counts as alive.
  clock.SetNow(start + kOneMinute);
  supervisor.Tick();
  EXPECT_TRUE(supervisor.StationLinkUp());

  clock.SetNow(start + kOneMinute + kOneMillisecond);
  supervisor.Tick();
  EXPECT_FALSE(supervisor.StationLinkUp());
  TickFor(5000);
  EXPECT_THAT(redraws, ElementsAre(true, false));
  EXPECT_THAT(errors, IsEmpty());
}

TEST_F(LinkSupervisionTest, FramesWithinTheSilenceKeepTheLinkUpWithOneRedraw) {
  for (int i = 0; i < 10; ++i) {
    TickFor(30000);
    lastFrameTime = clock.Now();
  }
  EXPECT_TRUE(supervisor.StationLinkUp());
  EXPECT_THAT(redraws, ElementsAre(true));
}

TEST_F(LinkSupervisionTest, FrameAfterALossRaisesTheLinkAtTheNextTick) {
  TickFor(61000);
  ASSERT_FALSE(supervisor.StationLinkUp());
  lastFrameTime = clock.Now() + 50 * kOneMillisecond;  // a frame between two ticks
  clock.Advance(100);
  TickFor(200);
  EXPECT_TRUE(supervisor.StationLinkUp());
  EXPECT_THAT(redraws, ElementsAre(true, false, true));
}

TEST_F(LinkSupervisionTest, ClockSetForwardLosesTheLinkAtTheNextTick) {
  TickFor(200);
  clock.SetNow(clock.Now() + 2 * kOneMinute);
  supervisor.Tick();
  EXPECT_FALSE(supervisor.StationLinkUp());
  EXPECT_THAT(redraws, ElementsAre(true, false));
}

TEST_F(LinkSupervisionTest, FailedRedrawIsLoggedAndMadeAgainAtTheNextTick) {
  failRedraws = 1;
  TickFor(200);
  EXPECT_THAT(errors, ElementsAre(kErrorLinkCheck));
  EXPECT_THAT(redraws, IsEmpty());

  TickFor(200);
  EXPECT_THAT(redraws, ElementsAre(true));
  TickFor(1000);
  EXPECT_THAT(redraws, ElementsAre(true));
  EXPECT_THAT(errors, ElementsAre(kErrorLinkCheck));
}

TEST(LinkSupervisionFailureTest, FailingFrameTimeIsLoggedAndJudgedAgainNextTick) {
  FakeClock clock;
  bool failing = true;
  std::vector<bool> redraws;
  std::vector<int> errors;
  const TDateTime start = clock.Now();
  LinkSupervisor supervisor(
      clock, kOneMinute,
      [&]() -> TDateTime {
        if (failing) throw std::runtime_error("no frame time");
        return start;
      },
      [&](bool up) { redraws.push_back(up); }, [&](int code) { errors.push_back(code); });

  supervisor.Tick();
  EXPECT_FALSE(supervisor.StationLinkUp());
  EXPECT_THAT(errors, ElementsAre(kErrorLinkCheck));
  failing = false;
  supervisor.Tick();
  EXPECT_TRUE(supervisor.StationLinkUp());
  EXPECT_THAT(redraws, ElementsAre(true));
}

TEST(LinkSupervisionFailureTest, ErrorLogFailureDoesNotEscapeTheTick) {
  FakeClock clock;
  LinkSupervisor supervisor(
      clock, kOneMinute, []() -> TDateTime { throw std::runtime_error("no frame time"); },
      [](bool) {}, [](int) { throw std::runtime_error("error log unwritable"); });
  EXPECT_NO_THROW(supervisor.Tick());
}

class ZeroAttentionTest : public LinkSupervisionTest {
 protected:
  ZeroAttentionTest() : LinkSupervisionTest(0.0) {}
};

TEST_F(ZeroAttentionTest, IndicatorStaysUndrawn) {
  TickFor(10000);
  lastFrameTime = clock.Now() - kOneMillisecond;
  TickFor(1000);
  EXPECT_FALSE(supervisor.StationLinkUp());
  EXPECT_THAT(redraws, IsEmpty());
  EXPECT_THAT(errors, IsEmpty());
}

}  // namespace
}  // namespace drv
