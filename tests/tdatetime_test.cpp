#include "base/tdatetime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace drv {
namespace {

struct DateCase {
  CivilTime civil;
  TDateTime value;
};

TEST(TDateTimeTest, EncodesAndDecodesKnownDays) {
  const DateCase cases[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0.0},     {{1900, 1, 1, 0, 0, 0, 0}, 2.0},
      {{2024, 1, 31, 12, 0, 0, 0}, 45322.5}, {{2026, 12, 10, 6, 0, 0, 0}, 46366.25},
      {{1899, 12, 29, 6, 0, 0, 0}, -1.25},  // before day 0 the fraction counts away from zero
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_DOUBLE_EQ(EncodeDateTime(c.civil), c.value);
    const CivilTime back = DecodeDateTime(c.value);
    EXPECT_EQ(back.year, c.civil.year);
    EXPECT_EQ(back.month, c.civil.month);
    EXPECT_EQ(back.day, c.civil.day);
    EXPECT_EQ(back.hour, c.civil.hour);
  }
}

TEST(TDateTimeTest, KeepsMillisecondsThroughARoundTrip) {
  const CivilTime civil{2024, 2, 29, 23, 59, 59, 999};
  const CivilTime back = DecodeDateTime(EncodeDateTime(civil));
  EXPECT_EQ(back.day, 29);
  EXPECT_EQ(back.hour, 23);
  EXPECT_EQ(back.minute, 59);
  EXPECT_EQ(back.second, 59);
  EXPECT_EQ(back.millisecond, 999);
}

TEST(TDateTimeTest, DamagedValuesDecodeAsDayZeroInsteadOfOverflowing) {
  for (double value : {std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::infinity(), 1e300, -1e300}) {
    const CivilTime civil = DecodeDateTime(value);
    EXPECT_EQ(civil.year, 1899);
    EXPECT_EQ(civil.day, 30);
  }
}

}  // namespace
}  // namespace drv
