#include "ui/win32/main_thread_win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "tests/ui/win32/win32_test_support.h"
#include "ui/win32/modal_loop.h"

namespace drv {
namespace {

using testing::PumpUntil;

bool Ready(std::future<bool>& result) {
  return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

TEST(Win32MainThreadTest, AWorkersTaskRunsOnTheMainThreadFromTheMessageLoop) {
  Win32MainThread mainThread;
  std::thread::id ranOn;
  std::future<bool> result = std::async(std::launch::async, [&] {
    return mainThread.RunAndWait([&] { ranOn = std::this_thread::get_id(); });
  });
  ASSERT_TRUE(PumpUntil([&] { return Ready(result); }));
  EXPECT_TRUE(result.get());
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(Win32MainThreadTest, TasksRunWhileAModalDialogIsUp) {
  // The session's lines and indicator steps, and the serial port's events, go on while the
  // operator answers a dialog.
  Win32MainThread mainThread;
  HWND dialog = CreateWindowExW(0, L"STATIC", L"dialog", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                nullptr, nullptr);
  std::atomic<int> ranDuringDialog{0};
  std::future<bool> worker;
  // Wakes the dialog's loop now and then, so that it can give up at the safety bound.
  const UINT_PTR ticker = SetTimer(nullptr, 0, 50, nullptr);
  const auto end = std::chrono::steady_clock::now() + testing::kSafetyBound;
  win32::RunModal(dialog, [&] {
    if (!worker.valid()) {
      worker = std::async(std::launch::async, [&] {
        const bool waited = mainThread.RunAndWait([&] { ++ranDuringDialog; });
        mainThread.Post([&] { ++ranDuringDialog; });
        return waited;
      });
    }
    return ranDuringDialog == 2 || std::chrono::steady_clock::now() > end;
  });
  KillTimer(nullptr, ticker);
  mainThread.Stop();  // releases the worker should the bound have passed
  ASSERT_TRUE(worker.valid());
  EXPECT_TRUE(worker.get());
  EXPECT_EQ(ranDuringDialog, 2);
  DestroyWindow(dialog);
}

TEST(Win32MainThreadTest, APostOnTheMainThreadRunsFromTheLoopNotInsideTheCaller) {
  Win32MainThread mainThread;
  bool ran = false;
  EXPECT_TRUE(mainThread.Post([&] { ran = true; }));
  EXPECT_FALSE(ran);
  EXPECT_TRUE(PumpUntil([&] { return ran; }));
}

TEST(Win32MainThreadTest, StopReleasesAWaitingWorkerAndRefusesLaterTasks) {
  Win32MainThread mainThread;
  std::atomic<bool> ran{false};
  std::future<bool> result =
      std::async(std::launch::async, [&] { return mainThread.RunAndWait([&] { ran = true; }); });
  ASSERT_TRUE(PumpUntil([&] { return mainThread.PendingTasks() > 0 || Ready(result); }));
  mainThread.Stop();
  EXPECT_FALSE(result.get());
  EXPECT_FALSE(mainThread.Post([&] { ran = true; }));
  // The wake-up still queued runs nothing.
  testing::PumpPending();
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace drv
