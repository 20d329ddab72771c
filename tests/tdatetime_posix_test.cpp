// Date and time texts in the C locale's formats (LC_TIME of the process).

#include <gtest/gtest.h>

#include <clocale>

#include "base/tdatetime.h"

namespace drv {
namespace {

// The driver's date and time texts show the time always; the frame log leaves out a midnight one.
TEST(TDateTimeTest, FormatsDateBlankAndTime) {
  std::setlocale(LC_TIME, "C");
  struct Case {
    CivilTime civil;
    const char* always;
    const char* omittingMidnight;
  };
  const Case cases[] = {
      {{2024, 1, 31, 13, 5, 7, 0}, "01/31/24 13:05:07", "01/31/24 13:05:07"},
      {{2024, 1, 31, 0, 0, 0, 0}, "01/31/24 00:00:00", "01/31/24"},
      {{2024, 1, 31, 0, 0, 0, 400}, "01/31/24 00:00:00", "01/31/24"},
      {{2024, 2, 1, 0, 0, 1, 0}, "02/01/24 00:00:01", "02/01/24 00:00:01"},
      {{2024, 1, 31, 23, 59, 59, 999}, "01/31/24 23:59:59", "01/31/24 23:59:59"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.always);
    const TDateTime value = EncodeDateTime(c.civil);
    EXPECT_EQ(FormatDateTime(value), c.always);
    EXPECT_EQ(FormatDateTimeOmittingMidnight(value), c.omittingMidnight);
  }
}

}  // namespace
}  // namespace drv
