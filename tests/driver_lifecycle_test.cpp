#include "ui/driver_lifecycle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/driver_settings.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_connection.h"
#include "fakes/fake_operator_window.h"
#include "fakes/fake_serial_device.h"
#include "fakes/fake_serial_event_loop.h"
#include "fakes/manual_main_thread.h"
#include "fakes/temp_dir.h"

namespace drv {
namespace {

using testing::FakeOperatorWindow;

// The lifecycle in a window of fakes that records what the lifecycle asked of it, in order.
class DriverLifecycleTest : public ::testing::Test {
 protected:
  DriverLifecycleTest() {
    // The configured port opens at start-up, so that the end can be seen to close it.
    testing::WriteFileBytes(SettingsPath(dir_.Path().string()),
                            "[main]\r\nComPort=COM3\r\nSendTorven8=0\r\n");
  }

  void Start() {
    lifecycle_.StartDriver(platform_, window_);
    ASSERT_NE(lifecycle_.DriverLogic(), nullptr);
    ASSERT_TRUE(serial_.IsOpen());
    calls_.clear();
  }

  testing::TempDir dir_;
  testing::FakeClock clock_;
  testing::InlineMainThread mainThread_;
  testing::FakeSerialDevice serial_;
  testing::FakeSerialEventLoop serialEvents_{clock_, [this] { return serial_.Readable(); }};
  testing::FakeConnectionFactory connections_;
  DriverPlatform platform_{clock_,       mainThread_,          serialEvents_, serial_,
                           connections_, dir_.Path().string(), "1.0.0.1"};
  FakeOperatorWindow window_;
  std::vector<std::string> calls_;
  DriverLifecycle lifecycle_{{[this](bool run) { calls_.push_back(run ? "tick on" : "tick off"); },
                              [this] { calls_.push_back("dismiss"); },
                              [this] { calls_.push_back("close"); },
                              [this] { calls_.push_back("tray off"); }}};
};

TEST_F(DriverLifecycleTest, StartsTheTickBeforeStartUpAndTheDriverOnlyOnce) {
  lifecycle_.StartDriver(platform_, window_);
  // The tick is on before start-up can show its message box: it runs during that box too.
  ASSERT_EQ(calls_, (std::vector<std::string>{"tick on"}));
  ASSERT_EQ(window_.closeCode.size(), 5u);
  Driver* first = lifecycle_.DriverLogic();
  const std::string code = window_.closeCode;

  lifecycle_.StartDriver(platform_, window_);
  EXPECT_EQ(lifecycle_.DriverLogic(), first);
  EXPECT_EQ(window_.closeCode, code);
  EXPECT_EQ(calls_.size(), 1u);
}

struct CloseCase {
  const char* name;
  CloseCodeAnswer answer;
  bool closes;
  std::vector<std::string> messages;
};

void PrintTo(const CloseCase& closeCase, std::ostream* out) {
  *out << closeCase.name;
}

class CloseRequestTest : public DriverLifecycleTest,
                         public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseRequestTest, ClosesOnlyOnTheAcceptedCode) {
  Start();
  window_.closeCodeAnswer = GetParam().answer;
  lifecycle_.RequestClose();

  EXPECT_EQ(window_.closeCodeRequests, 1);
  EXPECT_EQ(window_.messages, GetParam().messages);
  EXPECT_EQ(lifecycle_.CloseAccepted(), GetParam().closes);
  EXPECT_EQ(lifecycle_.Ending(), GetParam().closes);
  EXPECT_EQ(serial_.IsOpen(), !GetParam().closes);
  EXPECT_EQ(calls_,
            GetParam().closes ? std::vector<std::string>{"close"} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Answers, CloseRequestTest,
    ::testing::Values(
        CloseCase{"Accepted", CloseCodeAnswer::kAccepted, true, {}},
        CloseCase{"WrongCode", CloseCodeAnswer::kWrongCode, false, {"Не правильный пароль."}},
        CloseCase{"Cancelled", CloseCodeAnswer::kCancelled, false, {}}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(DriverLifecycleTest, ARequestWhileOneIsAnsweredIsIgnored) {
  Start();
  window_.closeCodeAnswer = CloseCodeAnswer::kAccepted;
  window_.whileClosing = [this] { lifecycle_.RequestClose(); };
  lifecycle_.RequestClose();
  EXPECT_EQ(window_.closeCodeRequests, 1);
  EXPECT_EQ(calls_, (std::vector<std::string>{"close"}));

  // Once the close is accepted, nothing asks again.
  window_.whileClosing = nullptr;
  lifecycle_.RequestClose();
  EXPECT_EQ(window_.closeCodeRequests, 1);
}

TEST_F(DriverLifecycleTest, AnEndFromOutsideWhileTheCodeIsAskedWinsAsACancel) {
  Start();
  window_.closeCodeAnswer = CloseCodeAnswer::kAccepted;
  window_.whileClosing = [this] { lifecycle_.EndProgram(); };
  lifecycle_.RequestClose();
  EXPECT_TRUE(lifecycle_.Ending());
  EXPECT_FALSE(lifecycle_.CloseAccepted());
  // The dialogs were dismissed; the caller of EndProgram leaves the loop, not the close.
  EXPECT_EQ(calls_, (std::vector<std::string>{"dismiss"}));

  window_.whileClosing = nullptr;
  lifecycle_.RequestClose();
  EXPECT_EQ(window_.closeCodeRequests, 1);
}

TEST_F(DriverLifecycleTest, ShutdownStopsTheTickClosesThePortAndRemovesTheTrayIconOnce) {
  Start();
  lifecycle_.EndProgram();
  calls_.clear();
  lifecycle_.ShutdownDriver();
  EXPECT_FALSE(serial_.IsOpen());
  EXPECT_EQ(calls_, (std::vector<std::string>{"tick off", "tray off"}));

  lifecycle_.ShutdownDriver();
  EXPECT_EQ(calls_.size(), 2u);
}

}  // namespace
}  // namespace drv
