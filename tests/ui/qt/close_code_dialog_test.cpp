#include "ui/qt/close_code_dialog.h"

#include <gtest/gtest.h>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "tests/ui/qt/qt_test_support.h"

namespace drv {
namespace {

using testing::PressKey;
using testing::TestApplication;
using testing::TypeText;
using testing::WhenModalShown;

constexpr char kCode[] = "48213";

class CloseCodeDialogTest : public ::testing::Test {
 protected:
  static QPushButton& Button(QWidget& dialog, const char* name) {
    auto* button = dialog.findChild<QPushButton*>(name);
    EXPECT_NE(button, nullptr) << name;
    return *button;
  }
  static QLineEdit& Entry(QWidget& dialog) { return *static_cast<TForm2&>(dialog).Entry(); }

  testing::QtApplicationUser app_;
  TForm2 dialog_;
};

TEST_F(CloseCodeDialogTest, LooksAsTheOperatorExpects) {
  dialog_.ensurePolished();
  EXPECT_EQ(dialog_.windowTitle(), "Закрытый доступ");
  EXPECT_EQ(dialog_.minimumSize(), QSize(281, 93));
  EXPECT_EQ(dialog_.maximumSize(), QSize(281, 93));

  auto* prompt = dialog_.findChild<QLabel*>("PromptLabel");
  ASSERT_NE(prompt, nullptr);
  EXPECT_EQ(prompt->text(), "Введите пароль для доступа");
  EXPECT_TRUE(prompt->font().bold());
  EXPECT_EQ(prompt->font().pixelSize(), 16);

  QLineEdit& entry = *dialog_.Entry();
  EXPECT_EQ(entry.maxLength(), 5);
  EXPECT_EQ(entry.echoMode(), QLineEdit::Password);
  EXPECT_TRUE(entry.text().isEmpty());

  QPushButton& ok = Button(dialog_, "OkButton");
  QPushButton& cancel = Button(dialog_, "CancelButton");
  EXPECT_EQ(ok.text(), "ОК");
  EXPECT_EQ(cancel.text(), "Отмена");
  EXPECT_EQ(ok.size(), QSize(72, 25));
  EXPECT_EQ(cancel.size(), QSize(72, 25));
  EXPECT_LT(ok.x(), cancel.x());
  for (QPushButton* button : {&ok, &cancel}) {
    EXPECT_FALSE(button->isDefault());
    EXPECT_FALSE(button->autoDefault());
  }
}

TEST_F(CloseCodeDialogTest, EveryTypedCharacterIsShownAsAStar) {
  dialog_.show();
  QLineEdit& entry = *dialog_.Entry();
  TypeText(entry, "908");
  EXPECT_EQ(entry.text(), "908");
  EXPECT_EQ(entry.displayText(), "***");
}

TEST_F(CloseCodeDialogTest, TakesAtMostFiveDigits) {
  dialog_.show();
  QLineEdit& entry = *dialog_.Entry();
  entry.setFocus();
  TypeText(entry, "1a2 3-4567");
  EXPECT_EQ(entry.text(), "12345");
}

enum class Press { kOk, kCancel, kWindowClose };

struct AnswerCase {
  const char* name;
  const char* typed;
  Press press;
  CloseCodeAnswer expected;
};

class CloseCodeAnswerTest : public CloseCodeDialogTest,
                            public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(CloseCodeAnswerTest, AnswersByTheButtonAndTheEntry) {
  const AnswerCase& c = GetParam();
  WhenModalShown("TForm2", [&](QWidget& dialog) {
    TypeText(Entry(dialog), c.typed);
    switch (c.press) {
      case Press::kOk:
        Button(dialog, "OkButton").click();
        break;
      case Press::kCancel:
        Button(dialog, "CancelButton").click();
        break;
      case Press::kWindowClose:
        dialog.close();
        break;
    }
  });
  EXPECT_EQ(dialog_.AskCloseCode(kCode), c.expected);
  EXPECT_FALSE(dialog_.isVisible());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, CloseCodeAnswerTest,
    ::testing::Values(
        AnswerCase{"RightCode", "48213", Press::kOk, CloseCodeAnswer::kAccepted},
        AnswerCase{"FourDigits", "4821", Press::kOk, CloseCodeAnswer::kWrongCode},
        AnswerCase{"OtherCode", "48214", Press::kOk, CloseCodeAnswer::kWrongCode},
        AnswerCase{"Nothing", "", Press::kOk, CloseCodeAnswer::kWrongCode},
        AnswerCase{"CancelRightCode", "48213", Press::kCancel, CloseCodeAnswer::kCancelled},
        AnswerCase{"WindowClose", "48213", Press::kWindowClose, CloseCodeAnswer::kCancelled}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(CloseCodeDialogTest, EnterAndEscapeDoNothing) {
  bool stayedOpen = false;
  WhenModalShown("TForm2", [&](QWidget& dialog) {
    QLineEdit& entry = Entry(dialog);
    TypeText(entry, kCode);
    PressKey(entry, Qt::Key_Return);
    PressKey(entry, Qt::Key_Enter);
    PressKey(entry, Qt::Key_Escape);
    PressKey(dialog, Qt::Key_Escape);
    // With the focus on a button too.
    Button(dialog, "OkButton").setFocus();
    PressKey(Button(dialog, "OkButton"), Qt::Key_Return);
    PressKey(Button(dialog, "OkButton"), Qt::Key_Escape);
    stayedOpen = dialog.isVisible();
    Button(dialog, "CancelButton").click();
  });
  EXPECT_EQ(dialog_.AskCloseCode(kCode), CloseCodeAnswer::kCancelled);
  EXPECT_TRUE(stayedOpen);
}

TEST_F(CloseCodeDialogTest, ASecondRequestShowsThePreviousEntrySelectedForReplacement) {
  WhenModalShown("TForm2", [&](QWidget& dialog) {
    TypeText(Entry(dialog), "1111");
    Button(dialog, "OkButton").click();
  });
  ASSERT_EQ(dialog_.AskCloseCode(kCode), CloseCodeAnswer::kWrongCode);

  WhenModalShown("TForm2", [&](QWidget& dialog) {
    QLineEdit& entry = Entry(dialog);
    EXPECT_EQ(entry.text(), "1111");
    EXPECT_EQ(entry.selectedText(), "1111");
    EXPECT_EQ(dialog.focusWidget(), &entry);
    TypeText(entry, kCode);
    Button(dialog, "OkButton").click();
  });
  EXPECT_EQ(dialog_.AskCloseCode(kCode), CloseCodeAnswer::kAccepted);
  EXPECT_EQ(dialog_.Entry()->text(), kCode);
}

TEST_F(CloseCodeDialogTest, ASecondRequestWhileTheDialogIsUpIsCancelled) {
  WhenModalShown("TForm2", [&](QWidget& dialog) {
    EXPECT_EQ(dialog_.AskCloseCode(kCode), CloseCodeAnswer::kCancelled);
    EXPECT_TRUE(dialog.isVisible());
    TypeText(Entry(dialog), kCode);
    Button(dialog, "OkButton").click();
  });
  EXPECT_EQ(dialog_.AskCloseCode(kCode), CloseCodeAnswer::kAccepted);
}

TEST_F(CloseCodeDialogTest, DismissCancelsTheOpenRequestAndEveryLaterOne) {
  WhenModalShown("TForm2", [&](QWidget&) { dialog_.Dismiss(); });
  EXPECT_EQ(dialog_.AskCloseCode(kCode), CloseCodeAnswer::kCancelled);
  EXPECT_EQ(dialog_.AskCloseCode(kCode), CloseCodeAnswer::kCancelled);
  EXPECT_FALSE(dialog_.isVisible());
}

// The operator turns to another window while the dialog is up and comes back: the entry has the
// focus with its whole text selected again, so that typing replaces it.
TEST_F(CloseCodeDialogTest, EveryActivationSelectsTheWholeEntry) {
  bool focused = false;
  QString selectedAfterReturn;
  WhenModalShown("TForm2", [&](QWidget& dialog) {
    QLineEdit& entry = Entry(dialog);
    TypeText(entry, "1111");
    entry.deselect();
    Button(dialog, "CancelButton").setFocus();
    // A window the modal dialog does not block: one of its own.
    QWidget other(&dialog, Qt::Window);
    other.resize(50, 50);
    other.show();
    other.activateWindow();
    ASSERT_TRUE(testing::ProcessEventsUntil([&] { return other.isActiveWindow(); }));
    ASSERT_FALSE(dialog.isActiveWindow());
    dialog.activateWindow();
    ASSERT_TRUE(testing::ProcessEventsUntil([&] { return dialog.isActiveWindow(); }));
    selectedAfterReturn = entry.selectedText();
    focused = dialog.focusWidget() == &entry;
    Button(dialog, "CancelButton").click();
  });
  EXPECT_EQ(dialog_.AskCloseCode(kCode), CloseCodeAnswer::kCancelled);
  EXPECT_EQ(selectedAfterReturn, "1111");
  EXPECT_TRUE(focused);
}

}  // namespace
}  // namespace drv
