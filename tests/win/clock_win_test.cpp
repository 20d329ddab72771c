#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/clock.h"
#include "base/tdatetime.h"
#include "base/win_text.h"

namespace drv {
namespace {

// The tick count and the microsecond count are one clock: a tick count read between two
// microsecond readings lies between them, give or take the tick count's own steps.
TEST(SystemClockTest, TickCountAndMicrosecondsAreOneClock) {
  const SystemClock clock;
  constexpr int64_t kTickStepUs = 20000;
  for (int i = 0; i < 20; ++i) {
    const uint64_t before = clock.MicrosecondCount();
    const uint32_t tick = clock.TickCount();
    const uint64_t after = clock.MicrosecondCount();
    ASSERT_LE(before, after);
    // Compared modulo 2^32 milliseconds, as every user of the tick count does.
    const int64_t tickUs =
        static_cast<int64_t>(static_cast<int32_t>(tick - static_cast<uint32_t>(before / 1000))) *
        1000;
    EXPECT_GE(tickUs, -kTickStepUs);
    EXPECT_LE(tickUs, static_cast<int64_t>(after - before) + kTickStepUs);
    Sleep(1);
  }
}

TEST(SystemClockTest, NowIsTheLocalTimeOfDay) {
  const SystemClock clock;
  SYSTEMTIME before{};
  GetLocalTime(&before);
  const CivilTime now = DecodeDateTime(clock.Now());
  EXPECT_EQ(now.year, before.wYear);
  EXPECT_EQ(now.month, before.wMonth);
  // Within the minute, unless it turned meanwhile.
  const int secondsBefore = before.wHour * 3600 + before.wMinute * 60 + before.wSecond;
  const int secondsNow = now.hour * 3600 + now.minute * 60 + now.second;
  EXPECT_TRUE(secondsNow >= secondsBefore || now.day != before.wDay);
  EXPECT_LT(secondsNow - secondsBefore, 60);
}

// The user's short date and long time, as Windows formats them for the locales that the
// workstations and the test machines use.
TEST(DateTimeFormatTest, ShortDateBlankLongTimeOfTheUsersLocale) {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH);
  const std::string locale = WideToUtf8(name);
  struct Case {
    const char* locale;
    const char* afternoon;
    const char* midnight;
    const char* midnightOmitted;
  };
  const Case cases[] = {
      {"en-US", "1/31/2024 1:05:07 PM", "1/31/2024 12:00:00 AM", "1/31/2024"},
      {"ru-RU", "31.01.2024 13:05:07", "31.01.2024 0:00:00", "31.01.2024"},
      {"de-DE", "31.01.2024 13:05:07", "31.01.2024 00:00:00", "31.01.2024"},
  };
  const TDateTime afternoon = EncodeDateTime({2024, 1, 31, 13, 5, 7, 0});
  const TDateTime midnight = EncodeDateTime({2024, 1, 31, 0, 0, 0, 400});
  for (const Case& c : cases) {
    if (locale != c.locale) continue;
    EXPECT_EQ(FormatDateTime(afternoon), c.afternoon);
    EXPECT_EQ(FormatDateTimeOmittingMidnight(afternoon), c.afternoon);
    EXPECT_EQ(FormatDateTime(midnight), c.midnight);
    EXPECT_EQ(FormatDateTimeOmittingMidnight(midnight), c.midnightOmitted);
    return;
  }
  GTEST_SKIP() << "no expected texts for the locale " << locale;
}

// Windows formats no day before 1601 (Wine does); a damaged record's time must print all the same.
TEST(DateTimeFormatTest, DaysBeforeTheSystemCalendarStillPrint) {
  const std::string morning = FormatDateTimeOmittingMidnight(0.25);
  const std::string midnight = FormatDateTimeOmittingMidnight(0.0);
  EXPECT_NE(morning.find("1899"), std::string::npos) << morning;
  EXPECT_NE(morning.find("6:00:00"), std::string::npos) << morning;
  EXPECT_NE(midnight.find("1899"), std::string::npos) << midnight;
  EXPECT_EQ(midnight.find(':'), std::string::npos) << midnight;
  EXPECT_NE(FormatDateTime(0.0).find(':'), std::string::npos);
}

}  // namespace
}  // namespace drv
