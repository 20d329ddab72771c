#include "ui/qt/message_box.h"

#include <ostream>

#include <gtest/gtest.h>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "tests/ui/qt/qt_test_support.h"

namespace drv {
namespace {

using testing::TestApplication;
using testing::WhenModalShown;

struct SizeCase {
  const char* text;
  int width;
  int buttonLeft;
};

// The driver's own texts, and a short one whose button sticks out to the left.
void PrintTo(const SizeCase& c, std::ostream* out) {
  *out << '"' << c.text << '"';
}

const SizeCase kSizeCases[] = {
    {"Порт уже занят. Смените его.", 280, 104},
    {"Не правильный пароль.", 210, 69},
    {"Порт уже занят!", 150, 39},
    {"Неправильный пароль. В доступе отказано", 390, 159},
    {"Ошибка!", 70, -1},
};

class MessageBoxTest : public ::testing::TestWithParam<SizeCase> {
 protected:
  testing::QtApplicationUser app_;
  Tadvsm box_;
};

TEST_P(MessageBoxTest, ShowsTheTextModallyInABoxSizedToIt) {
  const SizeCase& c = GetParam();
  bool seen = false;
  WhenModalShown("advsm", [&](QWidget& dialog) {
    seen = true;
    EXPECT_EQ(&dialog, &box_);
    EXPECT_EQ(dialog.windowTitle(), "advsm");
    EXPECT_EQ(dialog.size(), QSize(c.width, 73));
    auto* text = dialog.findChild<QLabel*>("MessageText");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->text(), QString::fromUtf8(c.text));
    EXPECT_EQ(text->geometry().topLeft(), QPoint(2, 16));
    EXPECT_EQ(text->width(), c.width);
    EXPECT_TRUE(text->alignment() & Qt::AlignHCenter);
    EXPECT_TRUE(text->font().bold());
    EXPECT_EQ(text->font().pixelSize(), 16);  // 12 pt at 96 dpi
    auto* ok = dialog.findChild<QPushButton*>("MessageOkButton");
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), "ОК");
    EXPECT_EQ(ok->geometry(), QRect(c.buttonLeft, 41, 72, 25));
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    // Centred up to the few pixels of a window frame.
    const QPoint offCentre = dialog.geometry().center() - screenCentre;
    EXPECT_LE(offCentre.manhattanLength(), 6) << offCentre.x() << "," << offCentre.y();
    ok->click();
  });
  box_.ShowMessageBox(c.text);
  EXPECT_TRUE(seen);
  EXPECT_FALSE(box_.isVisible());
}

INSTANTIATE_TEST_SUITE_P(Texts, MessageBoxTest, ::testing::ValuesIn(kSizeCases));

TEST(MessageBoxReuseTest, OneBoxResizesToEveryNewText) {
  TestApplication();
  Tadvsm box;
  for (const SizeCase& c : {kSizeCases[3], kSizeCases[2]}) {
    SCOPED_TRACE(c.text);
    WhenModalShown("advsm", [&](QWidget& dialog) {
      EXPECT_EQ(dialog.width(), c.width);
      dialog.findChild<QPushButton*>("MessageOkButton")->click();
    });
    box.ShowMessageBox(c.text);
    EXPECT_EQ(box.Text(), QString::fromUtf8(c.text));
  }
}

TEST(MessageBoxReuseTest, AMessageRaisedWhileTheBoxIsUpDoesNotReplaceIt) {
  testing::QtApplicationUser app;
  Tadvsm box;
  WhenModalShown("advsm", [&](QWidget& dialog) {
    box.ShowMessageBox("Не правильный пароль.");  // returns at once
    EXPECT_EQ(box.Text(), "Порт уже занят!");
    EXPECT_EQ(dialog.width(), 150);
    dialog.findChild<QPushButton*>("MessageOkButton")->click();
  });
  box.ShowMessageBox("Порт уже занят!");
  EXPECT_FALSE(box.isVisible());
}

TEST(MessageBoxDismissTest, DismissClosesTheBoxAndKeepsItFromShowingAgain) {
  TestApplication();
  Tadvsm box;
  bool seen = false;
  WhenModalShown("advsm", [&](QWidget&) {
    seen = true;
    box.Dismiss();
  });
  box.ShowMessageBox("Порт уже занят!");
  EXPECT_TRUE(seen);
  EXPECT_FALSE(box.isVisible());

  // Returns at once: nobody is there to close it.
  box.ShowMessageBox("Не правильный пароль.");
  EXPECT_FALSE(box.isVisible());
  EXPECT_EQ(box.Text(), "Порт уже занят!");
}

}  // namespace
}  // namespace drv
