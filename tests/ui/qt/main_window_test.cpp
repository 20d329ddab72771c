#include "ui/qt/main_window.h"

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QToolButton>

#include "app/driver_settings.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_connection.h"
#include "tests/fakes/fake_serial_device.h"
#include "tests/fakes/fake_serial_event_loop.h"
#include "tests/fakes/manual_main_thread.h"
#include "tests/fakes/temp_dir.h"
#include "tests/ui/qt/qt_test_support.h"
#include "ui/link_indicator.h"
#include "ui/qt/close_code_dialog.h"
#include "ui/qt/message_box.h"

namespace drv {
namespace {

using testing::ProcessEventsUntil;
using testing::TypeText;
using testing::WhenModalShown;

template <typename T = QWidget>
T& Find(const QObject& parent, const char* name) {
  auto* child = parent.findChild<T*>(name);
  if (child == nullptr) throw std::runtime_error(std::string("no child ") + name);
  return *child;
}

std::vector<std::string> MemoLines(const TForm1& window) {
  std::vector<std::string> lines;
  const QString text = Find<QPlainTextEdit>(window, "Memo1").toPlainText();
  if (text.isEmpty()) return lines;
  for (const QString& line : text.split('\n')) lines.push_back(line.toStdString());
  return lines;
}

// Whether `label` shows exactly the indicator picture.
::testing::AssertionResult ShowsIndicator(const QLabel& label, bool linkUp, int barPosition) {
  const QImage shown = label.pixmap().toImage().convertToFormat(QImage::Format_RGB32);
  if (shown.size() != QSize(kIndicatorSize, kIndicatorSize)) {
    return ::testing::AssertionFailure() << "no 16 x 16 picture";
  }
  const IndicatorPixels expected = DrawLinkIndicator(linkUp, barPosition);
  for (int y = 0; y < kIndicatorSize; ++y) {
    for (int x = 0; x < kIndicatorSize; ++x) {
      const Rgb pixel = expected.At(x, y);
      if (shown.pixel(x, y) != qRgb(pixel.r, pixel.g, pixel.b)) {
        return ::testing::AssertionFailure() << "pixel " << x << "," << y << " differs";
      }
    }
  }
  return ::testing::AssertionSuccess();
}

class MainWindowTest : public ::testing::Test {
 protected:
  template <typename T = QWidget>
  T& Child(const char* name) {
    return Find<T>(window_, name);
  }
  QAbstractButton& PageButton(TForm1::Page page) {
    return Child<QAbstractButton>(page == TForm1::kStatePage ? "StatePageButton"
                                                             : "SettingsPageButton");
  }

  testing::QtApplicationUser app_;
  Tadvsm box_;
  TForm1 window_{box_};
};

TEST_F(MainWindowTest, IsAFixedWindowOfBannerToolbarAndPages) {
  EXPECT_EQ(window_.windowTitle(), "Драйвер Тирвал 2007");
  EXPECT_EQ(window_.minimumSize(), QSize(447, 331));
  EXPECT_EQ(window_.maximumSize(), QSize(447, 331));
  EXPECT_FALSE(window_.windowIcon().isNull());
  EXPECT_EQ(Child("Banner").geometry(), QRect(0, 0, 447, 57));
  EXPECT_EQ(Child("ToolbarBand").geometry(), QRect(0, 57, 447, 81));
  EXPECT_EQ(Child("PageArea").geometry(), QRect(0, 138, 447, 193));
  EXPECT_EQ(PageButton(TForm1::kStatePage).size(), QSize(72, 54));
  EXPECT_EQ(PageButton(TForm1::kSettingsPage).size(), QSize(72, 54));

  EXPECT_EQ(window_.BannerCaption(), "КПО Торвен 2008 - Драйвер Тирвал 2007");
  window_.SetBannerCaption("Пульт охраны №2");
  EXPECT_EQ(window_.BannerCaption(), "Пульт охраны №2");
}

TEST_F(MainWindowTest, PlacesEveryElementOfThePages) {
  struct Placement {
    const char* name;
    QRect geometry;  // a width or height of 0 is not checked (the label sizes itself)
  };
  const Placement placements[] = {
      {"StationLinkCaption", {8, 10, 0, 0}},  {"Image2", {176, 8, 16, 16}},
      {"ServerLinkCaption", {256, 10, 0, 0}}, {"Image3", {416, 8, 16, 16}},
      {"StartTimeCaption", {7, 37, 111, 0}},  {"Label6", {124, 37, 0, 0}},
      {"Label13", {256, 37, 0, 0}},           {"Image1", {416, 35, 16, 16}},
      {"CloseCodeCaption", {7, 65, 0, 0}},    {"Label15", {124, 65, 0, 0}},
      {"Memo1", {7, 84, 432, 100}},           {"GroupBox1", {9, 3, 428, 62}},
      {"ComboBox1", {18, 25, 103, 0}},        {"PushButton2", {143, 22, 94, 25}},
      {"PushButton1", {243, 22, 170, 25}},    {"CheckBox1", {10, 71, 263, 20}},
  };
  for (const Placement& p : placements) {
    SCOPED_TRACE(p.name);
    const QRect actual = Child(p.name).geometry();
    EXPECT_EQ(actual.topLeft(), p.geometry.topLeft());
    if (p.geometry.width() > 0) {
      EXPECT_EQ(actual.width(), p.geometry.width());
    }
    if (p.geometry.height() > 0) {
      EXPECT_EQ(actual.height(), p.geometry.height());
    }
  }
  // Every text of the pages is in the page font (8 pt at 96 dpi).
  window_.ensurePolished();
  for (const char* name : {"StationLinkCaption", "Label6", "Label15", "Memo1", "ComboBox1",
                           "PushButton1", "CheckBox1"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Child(name).font().pixelSize(), 11);
  }
  // Which page, or the frame, each element lies on.
  EXPECT_EQ(Child("Memo1").parent(), &Child("Default"));
  EXPECT_EQ(Child("ComboBox1").parent(), &Child("GroupBox1"));
  EXPECT_EQ(Child("CheckBox1").parent(), &Child("setup"));
  EXPECT_EQ(Child<QGroupBox>("GroupBox1").title(), "Com порт");
  EXPECT_EQ(Child<QLabel>("StartTimeCaption").alignment() & Qt::AlignHorizontal_Mask,
            Qt::AlignRight);
  EXPECT_EQ(Child<QCheckBox>("CheckBox1").text(), "Включить отображение входящих сообщений");
  EXPECT_EQ(Child<QComboBox>("ComboBox1").maxVisibleItems(), 8);
  EXPECT_TRUE(Child<QComboBox>("ComboBox1").isEditable());

  auto& memo = Child<QPlainTextEdit>("Memo1");
  EXPECT_EQ(memo.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(memo.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(memo.lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_FALSE(memo.isReadOnly());
}

TEST_F(MainWindowTest, PageButtonsActAsAPair) {
  auto& pages = Child<QStackedWidget>("PageArea");
  const auto expectPage = [&](TForm1::Page page) {
    EXPECT_EQ(window_.CurrentPage(), page);
    EXPECT_EQ(pages.currentWidget()->objectName(),
              page == TForm1::kStatePage ? "Default" : "setup");
    EXPECT_TRUE(PageButton(page).isChecked());
    EXPECT_FALSE(PageButton(page == TForm1::kStatePage ? TForm1::kSettingsPage : TForm1::kStatePage)
                     .isChecked());
  };
  // Opens on the state page.
  expectPage(TForm1::kStatePage);

  PageButton(TForm1::kSettingsPage).click();
  expectPage(TForm1::kSettingsPage);
  // A click on the pressed button changes nothing.
  PageButton(TForm1::kSettingsPage).click();
  expectPage(TForm1::kSettingsPage);
  PageButton(TForm1::kStatePage).click();
  expectPage(TForm1::kStatePage);
  PageButton(TForm1::kStatePage).click();
  expectPage(TForm1::kStatePage);
}

TEST_F(MainWindowTest, PortControlsStartInTheRunningAppearance) {
  EXPECT_EQ(window_.StartStopCaption(), "Остановить");
  EXPECT_FALSE(Child("PushButton1").isEnabled());
  EXPECT_FALSE(Child("ComboBox1").isEnabled());
  EXPECT_TRUE(Child("PushButton2").isEnabled());
  EXPECT_EQ(window_.PortListCount(), 0);
  EXPECT_EQ(window_.PortListText(), "");
  EXPECT_EQ(Child<QPushButton>("PushButton1").text(), "Сканировать заново");
  EXPECT_FALSE(window_.FrameDisplayEnabled());

  window_.SetStartStopCaption("Запустить");
  window_.SetScanEnabled(true);
  window_.SetPortListEnabled(true);
  EXPECT_EQ(window_.StartStopCaption(), "Запустить");
  EXPECT_EQ(Child<QPushButton>("PushButton2").text(), "Запустить");
  EXPECT_TRUE(Child("PushButton1").isEnabled());
  EXPECT_TRUE(Child("ComboBox1").isEnabled());

  Child<QCheckBox>("CheckBox1").setChecked(true);
  EXPECT_TRUE(window_.FrameDisplayEnabled());
}

TEST_F(MainWindowTest, PortListBehavesAsAnEditableDropDownList) {
  auto& list = Child<QComboBox>("ComboBox1");
  list.setEditText("COM9");
  EXPECT_EQ(window_.PortListText(), "COM9");  // typed by the operator

  // Appending selects nothing and keeps the text.
  window_.AppendPortListItem("COM1");
  window_.AppendPortListItem("COM3");
  EXPECT_EQ(window_.PortListCount(), 2);
  EXPECT_EQ(list.currentIndex(), -1);
  EXPECT_EQ(window_.PortListText(), "COM9");

  window_.SetPortListIndex(1);
  EXPECT_EQ(window_.PortListText(), "COM3");
  window_.SetPortListIndex(0);
  EXPECT_EQ(window_.PortListText(), "COM1");

  // Emptying the list keeps the text; selecting nothing empties it.
  window_.ClearPortList();
  EXPECT_EQ(window_.PortListCount(), 0);
  EXPECT_EQ(window_.PortListText(), "COM1");
  window_.SetPortListIndex(-1);
  EXPECT_EQ(window_.PortListText(), "");

  window_.AppendPortListItem("COM2");
  window_.SetPortListIndex(0);
  window_.SetPortListIndex(5);  // no such entry
  EXPECT_EQ(list.currentIndex(), -1);
  EXPECT_EQ(window_.PortListText(), "");
}

TEST_F(MainWindowTest, DisplayListCountsDeletesAndAppendsLines) {
  EXPECT_EQ(window_.LineCount(), 0u);
  window_.DeleteFirstLine();  // nothing to delete
  EXPECT_EQ(window_.LineCount(), 0u);

  for (const char* line : {"01 02 03", "Соединение установлено", "04 05"}) window_.AppendLine(line);
  EXPECT_EQ(window_.LineCount(), 3u);
  EXPECT_EQ(MemoLines(window_),
            (std::vector<std::string>{"01 02 03", "Соединение установлено", "04 05"}));

  window_.DeleteFirstLine();
  EXPECT_EQ(MemoLines(window_), (std::vector<std::string>{"Соединение установлено", "04 05"}));
  window_.DeleteFirstLine();
  window_.DeleteFirstLine();
  EXPECT_EQ(window_.LineCount(), 0u);
  EXPECT_TRUE(MemoLines(window_).empty());

  // A long list, more than any trimming keeps.
  for (int i = 0; i < 1500; ++i) window_.AppendLine("line " + std::to_string(i));
  EXPECT_EQ(window_.LineCount(), 1500u);
  window_.DeleteFirstLine();
  EXPECT_EQ(window_.LineCount(), 1499u);
  EXPECT_EQ(MemoLines(window_).front(), "line 1");
  EXPECT_EQ(MemoLines(window_).back(), "line 1499");

  // What the operator types counts too.
  Child<QPlainTextEdit>("Memo1").setPlainText("typed\nby hand");
  EXPECT_EQ(window_.LineCount(), 2u);
}

TEST_F(MainWindowTest, IndicatorsAreEmptyUntilDrawn) {
  for (const char* name : {"Image1", "Image2", "Image3"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(Child<QLabel>(name).pixmap().isNull());
  }
  window_.DrawStationIndicator(true);
  EXPECT_TRUE(ShowsIndicator(Child<QLabel>("Image2"), true, 0));
  window_.DrawStationIndicator(false);
  EXPECT_TRUE(ShowsIndicator(Child<QLabel>("Image2"), false, 0));

  window_.DrawServerIndicator(false, 0);
  EXPECT_TRUE(ShowsIndicator(Child<QLabel>("Image3"), false, 0));
  window_.DrawServerIndicator(true, 14);
  EXPECT_TRUE(ShowsIndicator(Child<QLabel>("Image3"), true, 14));
  EXPECT_TRUE(Child<QLabel>("Image1").pixmap().isNull());
}

TEST_F(MainWindowTest, ShowsTheSecondServerRowOnlyWhenAsked) {
  EXPECT_FALSE(Child("Label13").isVisibleTo(&window_));
  EXPECT_FALSE(Child("Image1").isVisibleTo(&window_));
  window_.SetSecondServerRowVisible(true);
  EXPECT_TRUE(Child("Label13").isVisibleTo(&window_));
  EXPECT_TRUE(Child("Image1").isVisibleTo(&window_));
  EXPECT_EQ(Child<QLabel>("Label13").text(), "Связь с сервером сообщений");
  window_.SetSecondServerRowVisible(false);
  EXPECT_FALSE(Child("Label13").isVisibleTo(&window_));
  EXPECT_FALSE(Child("Image1").isVisibleTo(&window_));
}

TEST_F(MainWindowTest, ShowsTheCloseCodeAndStartTimeAndTellsTheObserver) {
  std::string observed;
  window_.SetCloseCodeObserver([&](const std::string& code) { observed = code; });
  window_.ShowCloseCode("48213");
  window_.ShowStartTime("10.12.2026 04:38:17");
  EXPECT_EQ(Child<QLabel>("Label15").text(), "48213");
  EXPECT_EQ(Child<QLabel>("Label6").text(), "10.12.2026 04:38:17");
  EXPECT_EQ(observed, "48213");
  // The labels size themselves to their text, in the font they are drawn with.
  const QLabel& label6 = Child<QLabel>("Label6");
  EXPECT_GE(label6.width(), QFontMetrics(label6.font()).horizontalAdvance(label6.text()));
  EXPECT_EQ(label6.font().pixelSize(), 11);
}

TEST_F(MainWindowTest, TrayIconHasTheHintAndTheMenu) {
  EXPECT_EQ(window_.TrayIcon().toolTip(), "Драйвер Тирвал 2007");
  EXPECT_FALSE(window_.TrayIcon().icon().isNull());
  EXPECT_EQ(window_.TrayIcon().contextMenu(), &window_.TrayMenu());
  const QList<QAction*> actions = window_.TrayMenu().actions();
  ASSERT_EQ(actions.size(), 3);
  EXPECT_EQ(actions[0]->text(), "Восстановить");
  EXPECT_TRUE(actions[1]->isSeparator());
  EXPECT_EQ(actions[2]->text(), "Закрыть");
  EXPECT_EQ(window_.TrayMenu().defaultAction(), nullptr);
}

TEST_F(MainWindowTest, RestoreBringsBackAHiddenOrMinimisedWindow) {
  window_.show();
  window_.showMinimized();
  ProcessEventsUntil([&] { return window_.isMinimized(); });
  if (!window_.HidesToTray()) {
    // Without a notification area the window stays minimised, so it can be restored.
    QApplication::processEvents();
    EXPECT_TRUE(window_.isVisible());
  }
  window_.hide();
  window_.TrayMenu().actions()[0]->trigger();
  EXPECT_TRUE(window_.isVisible());
  EXPECT_FALSE(window_.isMinimized());
}

// The window with the driver behind it, on fake devices and a temporary working directory.
class DriverWindowTest : public MainWindowTest {
 protected:
  DriverWindowTest() {
    testing::WriteFileBytes(SettingsPath(dir_.Path().string()),
                            "[main]\r\nComPort=COM255\r\nSendTorven8=0\r\n");
    window_.AttachCloseCodeDialog(closeCodeDialog_);
    window_.SetCloseCodeObserver([this](const std::string& code) { observedCode_ = code; });
    QObject::connect(&window_, &TForm1::closeAccepted, [this] { ++closeAccepted_; });
    box_.installEventFilter(&showCounter_);
    window_.StartDriver(DriverPlatform{clock_, mainThread_, serialEvents_, serial_, connections_,
                                       dir_.Path().string(), "1.0.0.1"});
  }

  std::string Settings() const {
    return testing::ReadFileBytes(SettingsPath(dir_.Path().string()));
  }

  // Counts how often the message box is shown.
  class ShowCounter final : public QObject {
   public:
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Show) ++shows;
      return false;
    }
    int shows = 0;
  };

  void AnswerCloseCode(const std::string& typed, const char* button) {
    WhenModalShown("TForm2", [typed, button](QWidget& dialog) {
      TypeText(*static_cast<TForm2&>(dialog).Entry(), QString::fromStdString(typed));
      Find<QPushButton>(dialog, button).click();
    });
  }

  testing::TempDir dir_;
  testing::FakeClock clock_;
  testing::InlineMainThread mainThread_;
  testing::FakeSerialDevice serial_;
  testing::FakeSerialEventLoop serialEvents_{clock_, [this] { return serial_.Readable(); }};
  testing::FakeConnectionFactory connections_;
  TForm2 closeCodeDialog_;
  ShowCounter showCounter_;
  std::string observedCode_;
  int closeAccepted_ = 0;
};

TEST_F(DriverWindowTest, StartUpFillsTheWindow) {
  ASSERT_EQ(observedCode_.size(), 5u);
  EXPECT_EQ(observedCode_, window_.DriverLogic()->CloseCode());
  EXPECT_EQ(Child<QLabel>("Label15").text().toStdString(), observedCode_);
  EXPECT_FALSE(Child<QLabel>("Label6").text().isEmpty());
  // No port configured: stopped, nothing said.
  EXPECT_EQ(window_.StartStopCaption(), "Запустить");
  EXPECT_TRUE(Child("PushButton1").isEnabled());
  EXPECT_TRUE(Child("ComboBox1").isEnabled());
  EXPECT_EQ(showCounter_.shows, 0);
}

TEST_F(DriverWindowTest, TheTickDrawsTheStationIndicator) {
  ASSERT_TRUE(ProcessEventsUntil([&] { return !Child<QLabel>("Image2").pixmap().isNull(); }));
  // The link counts as up from the start time on.
  EXPECT_TRUE(ShowsIndicator(Child<QLabel>("Image2"), true, 0));
}

TEST_F(DriverWindowTest, ControlsReachTheDriver) {
  Child<QPushButton>("PushButton1").click();  // scan: every fake port opens
  EXPECT_EQ(window_.PortListCount(), 32);
  EXPECT_EQ(window_.PortListText(), "COM1");
  EXPECT_NE(Settings().find("ComPort=COM1\r\n"), std::string::npos);

  // The operator picks an entry.
  auto& list = Child<QComboBox>("ComboBox1");
  list.setCurrentIndex(2);
  emit list.activated(2);
  EXPECT_NE(Settings().find("ComPort=COM3\r\n"), std::string::npos);

  Child<QPushButton>("PushButton2").click();  // start
  EXPECT_EQ(window_.StartStopCaption(), "Остановить");
  EXPECT_TRUE(serial_.IsOpen());

  AnswerCloseCode(observedCode_, "OkButton");
  Child<QPushButton>("PushButton2").click();  // stop, with the code
  EXPECT_EQ(window_.StartStopCaption(), "Запустить");
  EXPECT_FALSE(serial_.IsOpen());
}

// How the operator can finish typing a port name into the list.
struct TypedCommit {
  const char* name;
  std::function<void(QComboBox&)> commit;
};

void PrintTo(const TypedCommit& commit, std::ostream* out) {
  *out << commit.name;
}

class TypedPortNameTest : public DriverWindowTest,
                          public ::testing::WithParamInterface<TypedCommit> {};

// Only a pick from the list is a port selection: a typed name, even one the list holds, is what
// the next start opens, and ComPort stays.
TEST_P(TypedPortNameTest, RunsNoSelectionUntilAnEntryIsPicked) {
  Child<QPushButton>("PushButton1").click();  // scan: every fake port opens, COM1 is chosen
  ASSERT_NE(Settings().find("ComPort=COM1\r\n"), std::string::npos);

  auto& list = Child<QComboBox>("ComboBox1");
  window_.show();
  list.setFocus();
  list.lineEdit()->selectAll();
  testing::TypeText(list, "COM3");
  GetParam().commit(list);
  EXPECT_EQ(window_.PortListText(), "COM3");
  EXPECT_NE(Settings().find("ComPort=COM1\r\n"), std::string::npos);

  // Picking an entry in the open list is a selection.
  list.showPopup();
  ASSERT_TRUE(ProcessEventsUntil([&] { return list.view()->isVisible(); }));
  list.view()->setCurrentIndex(list.model()->index(3, 0));
  testing::PressKey(*list.view(), Qt::Key_Return);
  EXPECT_EQ(window_.PortListText(), "COM4");
  EXPECT_NE(Settings().find("ComPort=COM4\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Commits, TypedPortNameTest,
    ::testing::Values(TypedCommit{"Enter",
                                  [](QComboBox& list) { testing::PressKey(list, Qt::Key_Return); }},
                      TypedCommit{"LeavingTheField",
                                  [](QComboBox& list) {
                                    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
                                    QApplication::sendEvent(&list, &out);
                                  }}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(DriverWindowTest, CloseAsksForTheCodeAndEndsOnlyWhenItIsRight) {
  window_.show();
  const std::string settingsBefore = Settings();

  AnswerCloseCode("1", "OkButton");
  bool wrongCodeShown = false;
  WhenModalShown("advsm", [&](QWidget& dialog) {
    wrongCodeShown = static_cast<Tadvsm&>(dialog).Text() == "Не правильный пароль.";
    Find<QPushButton>(dialog, "MessageOkButton").click();
  });
  window_.close();
  EXPECT_TRUE(wrongCodeShown);
  EXPECT_TRUE(window_.isVisible());
  EXPECT_FALSE(window_.Ending());

  AnswerCloseCode("", "CancelButton");
  window_.close();
  EXPECT_EQ(showCounter_.shows, 1);  // only the wrong code's message
  EXPECT_TRUE(window_.isVisible());

  AnswerCloseCode(observedCode_, "OkButton");
  window_.close();
  EXPECT_TRUE(window_.Ending());
  EXPECT_EQ(closeAccepted_, 1);
  EXPECT_FALSE(window_.isVisible());
  EXPECT_EQ(Settings(), settingsBefore);
}

TEST_F(DriverWindowTest, CloseFromTheTrayMenuAsksForTheCodeWhileHidden) {
  ASSERT_FALSE(window_.isVisible());
  bool asked = false;
  WhenModalShown("TForm2", [&](QWidget& dialog) {
    asked = true;
    Find<QPushButton>(dialog, "CancelButton").click();
  });
  window_.TrayMenu().actions()[2]->trigger();
  EXPECT_TRUE(asked);
  EXPECT_FALSE(window_.Ending());
  EXPECT_EQ(closeAccepted_, 0);
}

TEST_F(DriverWindowTest, EndingTheProgramCancelsAnOpenDialogAndShowsNoMore) {
  window_.show();
  WhenModalShown("TForm2", [&](QWidget&) { window_.EndProgram(); });
  window_.close();
  EXPECT_TRUE(window_.Ending());
  EXPECT_FALSE(closeCodeDialog_.isVisible());
  EXPECT_EQ(showCounter_.shows, 0);  // a cancel, not a wrong code
  EXPECT_EQ(closeAccepted_, 0);      // the signal's handler ends the loop, not the close

  window_.ShowMessageBox("Порт уже занят!");
  EXPECT_EQ(window_.AskCloseCode(), CloseCodeAnswer::kCancelled);
  EXPECT_EQ(showCounter_.shows, 0);
}

// The program is ended (a termination signal) while start-up shows that the configured port is
// busy: start-up stops there, before the session starts.
TEST_F(MainWindowTest, EndingDuringTheStartUpMessageStartsNoSession) {
  testing::TempDir dir;
  testing::WriteFileBytes(SettingsPath(dir.Path().string()),
                          "[main]\r\nComPort=COM3\r\n[ServerHost]\r\nAddress=127.0.0.1\r\n");
  testing::FakeClock clock(10000000);
  testing::ManualMainThread mainThread;
  testing::FakeSerialDevice serial;
  serial.openResult = SerialError::kBusy;
  testing::FakeConnectionFactory connections;
  testing::FakeSerialEventLoop serialEvents{clock, [&] { return serial.Readable(); }};

  bool boxShown = false;
  WhenModalShown("advsm", [&](QWidget&) {
    boxShown = true;
    window_.EndProgram();
  });
  window_.StartDriver(DriverPlatform{clock, mainThread, serialEvents, serial, connections,
                                     dir.Path().string(), "1.0.0.1"});
  EXPECT_TRUE(boxShown);
  EXPECT_TRUE(window_.Ending());
  EXPECT_FALSE(box_.isVisible());
  // The session draws its indicator when it starts; the start time comes after it.
  EXPECT_TRUE(Child<QLabel>("Image3").pixmap().isNull());
  EXPECT_TRUE(Child<QLabel>("Label6").text().isEmpty());

  mainThread.Stop();
  window_.ShutdownDriver();
  EXPECT_EQ(connections.Count(), 0u);
}

}  // namespace
}  // namespace drv
