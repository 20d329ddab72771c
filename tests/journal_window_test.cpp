#include "ui/journal_window.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/cp1251.h"
#include "base/error_log.h"
#include "base/tdatetime.h"
#include "fakes/fake_clock.h"
#include "fakes/temp_dir.h"

namespace drv {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class JournalWindowTest : public ::testing::Test {
 protected:
  JournalWindowTest() { window.SetErrorLogPath(errorLog); }

  std::string Stamped(const std::string& text) const {
    return FormatDateTime(clock.Now()) + " " + text;
  }

  testing::TempDir dir;
  testing::FakeClock clock{1000, EncodeDateTime({2025, 12, 9, 14, 30, 5, 0})};
  std::string errorLog = ErrorLogPath(dir.Path().string());
  std::vector<std::string> lines;
  bool ending = false;
  JournalWindow window{
      clock,
      {[this](const std::string& line) { lines.push_back(line); }, [this] { return ending; }}};
};

// The display list's lines carry their own date and time; they go out as they are.
TEST_F(JournalWindowTest, DisplayLinesGoOutAsTheyAre) {
  window.AppendLine("09.12.2025 14:30:05 Соединение установлено.");
  window.Note("port COM1 open");
  EXPECT_THAT(
      lines, ElementsAre("09.12.2025 14:30:05 Соединение установлено.", Stamped("port COM1 open")));
  EXPECT_EQ(window.LineCount(), 0u) << "nothing is kept, so nothing is ever trimmed";
  EXPECT_FALSE(window.FrameDisplayEnabled());
}

TEST_F(JournalWindowTest, AMessageBoxGoesToTheJournalAndTheErrorLog) {
  WriteErrorCode(errorLog, 14);
  window.ShowMessageBox("Порт уже занят. Смените его.");
  EXPECT_THAT(lines, ElementsAre(Stamped("Порт уже занят. Смените его.")));
  EXPECT_EQ(Cp1251ToUtf8(testing::ReadFileBytes(errorLog)),
            "ошибка №14\r\nПорт уже занят. Смените его.\r\n");
}

TEST_F(JournalWindowTest, AnErrorLogThatCannotBeWrittenLeavesTheJournalLine) {
  window.SetErrorLogPath(dir.File("missing/error.txt"));
  window.ShowMessageBox("Порт уже занят!");
  EXPECT_THAT(lines, ElementsAre(Stamped("Порт уже занят!")));
}

TEST_F(JournalWindowTest, NoMessageOnceTheProgramIsEnding) {
  ending = true;
  window.ShowMessageBox("Порт уже занят. Смените его.");
  EXPECT_THAT(lines, IsEmpty());
  EXPECT_FALSE(std::filesystem::exists(errorLog));
  EXPECT_TRUE(window.Ending());
}

TEST_F(JournalWindowTest, OnlyChangesOfTheLinksAreLines) {
  // Both links count as down at first; the server's indicator is drawn at every turn of its bar.
  window.DrawServerIndicator(false, 0);
  window.DrawServerIndicator(true, 1);
  window.DrawServerIndicator(true, 2);
  window.DrawStationIndicator(true);
  window.DrawStationIndicator(true);
  window.DrawStationIndicator(false);
  window.DrawServerIndicator(false, 3);
  EXPECT_THAT(lines, ElementsAre(Stamped(kServerLinkUpLine), Stamped(kStationLinkUpLine),
                                 Stamped(kStationLinkLostLine), Stamped(kServerLinkLostLine)));
}

TEST_F(JournalWindowTest, NothingCanBeConfirmedWithoutAWindow) {
  EXPECT_EQ(window.AskCloseCode(), CloseCodeAnswer::kCancelled);
  std::string observed;
  window.SetCloseCodeObserver([&observed](const std::string& code) { observed = code; });
  window.ShowCloseCode("48213");
  EXPECT_EQ(observed, "48213");
  EXPECT_THAT(lines, IsEmpty());
}

// The port controls keep their run state in the start/stop caption and pick from the list.
TEST_F(JournalWindowTest, KeepsWhatThePortControlsStoreInIt) {
  window.SetStartStopCaption("Запустить");
  window.AppendPortListItem("COM1");
  window.AppendPortListItem("COM4");
  window.SetPortListIndex(1);
  EXPECT_EQ(window.StartStopCaption(), "Запустить");
  EXPECT_EQ(window.PortListCount(), 2);
  EXPECT_EQ(window.PortListText(), "COM4");
  window.SetPortListIndex(-1);
  EXPECT_EQ(window.PortListText(), "");
  window.ClearPortList();
  EXPECT_EQ(window.PortListCount(), 0);
}

}  // namespace
}  // namespace drv
