#include "ui/win32/message_box.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/ui/win32/win32_test_support.h"

namespace drv {
namespace {

using testing::ClientSize;
using testing::PlaceOf;
using testing::TextOf;
using testing::WhenShown;

struct SizeCase {
  const char* text;
  LONG width;
  LONG buttonLeft;
};

// The driver's own texts.
const SizeCase kSizeCases[] = {
    {"Порт уже занят. Смените его.", 280, 104},
    {"Не правильный пароль.", 210, 69},
    {"Порт уже занят!", 150, 39},
    {"Неправильный пароль. В доступе отказано", 390, 159},
};

TEST(Win32MessageBoxTest, SizesItselfToTheText) {
  Tadvsm box;
  EXPECT_EQ(TextOf(box.Window()), "advsm");
  EXPECT_EQ(TextOf(box.OkButton()), "ОК");
  for (const SizeCase& c : kSizeCases) {
    SCOPED_TRACE(c.text);
    box.SetText(c.text);
    EXPECT_EQ(box.Text(), c.text);
    const SIZE client = ClientSize(box.Window());
    EXPECT_EQ(client.cx, c.width);
    EXPECT_EQ(client.cy, 73);
    const RECT button = PlaceOf(box.OkButton());
    EXPECT_EQ(button.left, c.buttonLeft);
    EXPECT_EQ(button.top, 41);
    EXPECT_EQ(button.right - button.left, 72);
    EXPECT_EQ(button.bottom - button.top, 25);
    // Centred on the screen's work area.
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    RECT frame{};
    GetWindowRect(box.Window(), &frame);
    EXPECT_LE(std::abs((frame.left + frame.right) - (work.left + work.right)), 1);
    EXPECT_LE(std::abs((frame.top + frame.bottom) - (work.top + work.bottom)), 1);
  }
}

enum class Close { kOkButton, kEnter, kEscape, kWindowButton };

class Win32MessageBoxCloseTest : public ::testing::TestWithParam<Close> {};

TEST_P(Win32MessageBoxCloseTest, ShowsModallyUntilClosed) {
  Tadvsm box;
  HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                               nullptr, nullptr);
  bool otherDisabled = false;
  WhenShown answer(box.Window(), [&] {
    otherDisabled = !IsWindowEnabled(other);
    switch (GetParam()) {
      case Close::kOkButton:
        testing::Click(box.OkButton());
        break;
      case Close::kEnter:
        testing::PostKey(GetFocus(), VK_RETURN);
        break;
      case Close::kEscape:
        testing::PostKey(GetFocus(), VK_ESCAPE);
        break;
      case Close::kWindowButton:
        PostMessageW(box.Window(), WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
    }
  });
  box.ShowMessageBox("Порт уже занят!");
  EXPECT_TRUE(answer.Ran());
  EXPECT_TRUE(otherDisabled) << "the program's other windows wait while the box is up";
  EXPECT_TRUE(IsWindowEnabled(other));
  EXPECT_FALSE(IsWindowVisible(box.Window()));
  DestroyWindow(other);
}

INSTANTIATE_TEST_SUITE_P(Closes, Win32MessageBoxCloseTest,
                         ::testing::Values(Close::kOkButton, Close::kEnter, Close::kEscape,
                                           Close::kWindowButton));

TEST(Win32MessageBoxTest, AMessageRaisedWhileTheBoxIsUpDoesNotReplaceIt) {
  Tadvsm box;
  std::string shownInside;
  WhenShown answer(box.Window(), [&] {
    box.ShowMessageBox("Порт уже занят!");  // returns at once
    shownInside = box.Text();
    testing::Click(box.OkButton());
  });
  box.ShowMessageBox("Не правильный пароль.");
  EXPECT_EQ(shownInside, "Не правильный пароль.");
}

TEST(Win32MessageBoxTest, APostedCloseIsNotTheOperators) {
  // taskkill posts WM_CLOSE to every window of the program; the box stays for the operator.
  Tadvsm box;
  bool stayed = false;
  WhenShown answer(box.Window(), [&] {
    SendMessageW(box.Window(), WM_CLOSE, 0, 0);
    testing::PumpPending();
    stayed = IsWindowVisible(box.Window()) != FALSE;
    testing::Click(box.OkButton());
  });
  box.ShowMessageBox("Порт уже занят!");
  EXPECT_TRUE(stayed);
}

TEST(Win32MessageBoxTest, DismissClosesTheBoxAndKeepsItFromShowingAgain) {
  Tadvsm box;
  WhenShown answer(box.Window(), [&] { box.Dismiss(); });
  box.ShowMessageBox("Порт уже занят!");
  EXPECT_TRUE(answer.Ran());
  EXPECT_FALSE(IsWindowVisible(box.Window()));

  // Nothing answers now: only a box that does not show lets this return.
  box.ShowMessageBox("Порт уже занят!");
  EXPECT_FALSE(IsWindowVisible(box.Window()));
}

}  // namespace
}  // namespace drv
