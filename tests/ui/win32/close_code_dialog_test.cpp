#include "ui/win32/close_code_dialog.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/ui/win32/win32_test_support.h"

namespace drv {
namespace {

using testing::ClientSize;
using testing::PlaceOf;
using testing::TextOf;
using testing::WhenShown;

constexpr char kCode[] = "48213";

// Types `text` into the entry as the keyboard does, character by character.
void Type(HWND entry, const std::string& text) {
  SetFocus(entry);
  for (const char c : text) SendMessageW(entry, WM_CHAR, static_cast<WPARAM>(c), 1);
}

void Replace(HWND entry, const std::string& text) {
  SetWindowTextW(entry, L"");
  Type(entry, text);
}

TEST(Win32CloseCodeDialogTest, LooksAsTheOperatorExpects) {
  TForm2 dialog;
  EXPECT_EQ(TextOf(dialog.Window()), "Закрытый доступ");
  const SIZE client = ClientSize(dialog.Window());
  EXPECT_EQ(client.cx, 281);
  EXPECT_EQ(client.cy, 93);
  // A fixed dialog border: no resizing, no minimising or maximising.
  const auto style = GetWindowLongPtrW(dialog.Window(), GWL_STYLE);
  EXPECT_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);

  HWND prompt = GetWindow(dialog.Window(), GW_CHILD);
  EXPECT_EQ(TextOf(prompt), "Введите пароль для доступа");
  LOGFONTW font{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(prompt, WM_GETFONT, 0, 0)), sizeof font, &font);
  EXPECT_EQ(font.lfHeight, -16);
  EXPECT_GE(font.lfWeight, FW_BOLD);

  EXPECT_EQ(SendMessageW(dialog.Entry(), EM_GETLIMITTEXT, 0, 0), 5);
  EXPECT_EQ(SendMessageW(dialog.Entry(), EM_GETPASSWORDCHAR, 0, 0), L'*');
  EXPECT_EQ(dialog.EntryText(), "");

  EXPECT_EQ(TextOf(dialog.OkButton()), "ОК");
  EXPECT_EQ(TextOf(dialog.CancelButton()), "Отмена");
  const RECT ok = PlaceOf(dialog.OkButton());
  const RECT cancel = PlaceOf(dialog.CancelButton());
  EXPECT_EQ(ok.right - ok.left, 72);
  EXPECT_EQ(ok.bottom - ok.top, 25);
  EXPECT_EQ(cancel.right - cancel.left, 72);
  EXPECT_EQ(cancel.bottom - cancel.top, 25);
  EXPECT_LT(ok.left, cancel.left);
}

TEST(Win32CloseCodeDialogTest, TakesAtMostFiveDigits) {
  TForm2 dialog;
  Type(dialog.Entry(), "1a2 3-4567");
  EXPECT_EQ(dialog.EntryText(), "12345");
}

enum class Press { kOk, kCancel, kWindowButton };

struct AnswerCase {
  const char* name;
  const char* typed;
  Press press;
  CloseCodeAnswer expected;
};

class Win32CloseCodeAnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(Win32CloseCodeAnswerTest, AnswersByTheButtonAndTheEntry) {
  const AnswerCase& c = GetParam();
  TForm2 dialog;
  WhenShown answer(dialog.Window(), [&] {
    Replace(dialog.Entry(), c.typed);
    switch (c.press) {
      case Press::kOk:
        testing::Click(dialog.OkButton());
        break;
      case Press::kCancel:
        testing::Click(dialog.CancelButton());
        break;
      case Press::kWindowButton:
        PostMessageW(dialog.Window(), WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
    }
  });
  EXPECT_EQ(dialog.AskCloseCode(kCode), c.expected);
  EXPECT_TRUE(answer.Ran());
  EXPECT_FALSE(IsWindowVisible(dialog.Window()));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Win32CloseCodeAnswerTest,
    ::testing::Values(
        AnswerCase{"RightCode", "48213", Press::kOk, CloseCodeAnswer::kAccepted},
        AnswerCase{"FourDigits", "4821", Press::kOk, CloseCodeAnswer::kWrongCode},
        AnswerCase{"OtherCode", "48214", Press::kOk, CloseCodeAnswer::kWrongCode},
        AnswerCase{"Nothing", "", Press::kOk, CloseCodeAnswer::kWrongCode},
        AnswerCase{"CancelRightCode", "48213", Press::kCancel, CloseCodeAnswer::kCancelled},
        AnswerCase{"WindowButton", "48213", Press::kWindowButton, CloseCodeAnswer::kCancelled}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(Win32CloseCodeDialogTest, EnterEscapeAndAPostedCloseDoNothing) {
  TForm2 dialog;
  bool stayedOpen = false;
  WhenShown answer(dialog.Window(), [&] {
    Replace(dialog.Entry(), kCode);
    for (HWND target : {dialog.Entry(), dialog.OkButton()}) {
      SetFocus(target);
      testing::PostKey(target, VK_RETURN);
      testing::PostKey(target, VK_ESCAPE);
    }
    // taskkill posts WM_CLOSE to every window of the program: the main window answers it.
    PostMessageW(dialog.Window(), WM_CLOSE, 0, 0);
    testing::PumpPending();
    stayedOpen = IsWindowVisible(dialog.Window()) != FALSE;
    testing::Click(dialog.CancelButton());
  });
  EXPECT_EQ(dialog.AskCloseCode(kCode), CloseCodeAnswer::kCancelled);
  EXPECT_TRUE(stayedOpen);
}

TEST(Win32CloseCodeDialogTest, ASecondRequestShowsThePreviousEntrySelectedForReplacement) {
  TForm2 dialog;
  {
    WhenShown answer(dialog.Window(), [&] {
      Replace(dialog.Entry(), "4821");
      testing::Click(dialog.OkButton());
    });
    EXPECT_EQ(dialog.AskCloseCode(kCode), CloseCodeAnswer::kWrongCode);
  }
  DWORD start = 0;
  DWORD end = 0;
  bool focused = false;
  std::string before;
  WhenShown answer(dialog.Window(), [&] {
    testing::PumpUntil([&] { return GetFocus() == dialog.Entry(); });
    focused = GetFocus() == dialog.Entry();
    SendMessageW(dialog.Entry(), EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    before = dialog.EntryText();
    // Typing replaces the selection.
    for (const char c : std::string(kCode)) {
      SendMessageW(dialog.Entry(), WM_CHAR, static_cast<WPARAM>(c), 1);
    }
    testing::Click(dialog.OkButton());
  });
  EXPECT_EQ(dialog.AskCloseCode(kCode), CloseCodeAnswer::kAccepted);
  EXPECT_TRUE(focused);
  EXPECT_EQ(before, "4821");
  EXPECT_EQ(start, 0u);
  EXPECT_EQ(end, 4u);
}

TEST(Win32CloseCodeDialogTest, ASecondRequestWhileTheDialogIsUpIsCancelled) {
  TForm2 dialog;
  CloseCodeAnswer inner = CloseCodeAnswer::kAccepted;
  WhenShown answer(dialog.Window(), [&] {
    inner = dialog.AskCloseCode(kCode);
    testing::Click(dialog.CancelButton());
  });
  EXPECT_EQ(dialog.AskCloseCode(kCode), CloseCodeAnswer::kCancelled);
  EXPECT_EQ(inner, CloseCodeAnswer::kCancelled);
}

TEST(Win32CloseCodeDialogTest, DismissCancelsTheOpenRequestAndEveryLaterOne) {
  TForm2 dialog;
  WhenShown answer(dialog.Window(), [&] {
    Replace(dialog.Entry(), kCode);
    dialog.Dismiss();
  });
  EXPECT_EQ(dialog.AskCloseCode(kCode), CloseCodeAnswer::kCancelled);
  EXPECT_FALSE(IsWindowVisible(dialog.Window()));
  // Nothing answers now: only a dialog that does not show lets this return.
  EXPECT_EQ(dialog.AskCloseCode(kCode), CloseCodeAnswer::kCancelled);
}

}  // namespace
}  // namespace drv
