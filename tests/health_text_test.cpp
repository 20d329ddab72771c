#include "app/health_text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/temp_dir.h"

namespace drv {
namespace {

using ::testing::Contains;
using ::testing::Not;

// 2025-12-09 12:00:00 UTC.
constexpr int64_t kNoonMs = 1765281600000;

HealthSnapshot BusySnapshot() {
  HealthSnapshot s;
  s.driverName = "station1";
  s.version = "1.0.0.1";
  s.startUnixMs = kNoonMs;
  s.nowUnixMs = kNoonMs + 3600250;
  s.frames = {120, 3, 2};
  s.lastFrameUnixMs = kNoonMs + 3599000;
  s.delivery.recordsStored = 130;
  s.delivery.recordsDelivered = 118;
  s.delivery.recordsWaiting = 12;
  s.delivery.recordsHeldInMemory = 4;
  s.delivery.oldestWaitingStoredMs = kNoonMs + 3000000;
  s.delivery.lastAcknowledgementMs = kNoonMs + 2999999;
  s.recordsSentAgain = 7;
  s.recordsPassedOver = 1;
  s.links = {true, true, false, false};
  s.errorsByCode = {{12, 3}, {9, 1}};
  return s;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(HealthTextTest, EverySampleCarriesTheDriverLabelAndItsValue) {
  const std::vector<std::string> lines = Lines(FormatHealthText(BusySnapshot()));
  const char* const expected[] = {
      R"(drvtirval_info{driver="station1",version="1.0.0.1",start_time="2025-12-09T12:00:00Z"} 1)",
      R"(drvtirval_start_time_seconds{driver="station1"} 1765281600)",
      R"(drvtirval_frames_total{driver="station1",reply="05"} 120)",
      R"(drvtirval_frames_total{driver="station1",reply="07"} 3)",
      R"(drvtirval_frames_total{driver="station1",reply="none"} 2)",
      R"(drvtirval_last_frame_timestamp_seconds{driver="station1"} 1765285199)",
      R"(drvtirval_records_stored_total{driver="station1"} 130)",
      R"(drvtirval_records_delivered_total{driver="station1"} 118)",
      R"(drvtirval_records_sent_again_total{driver="station1"} 7)",
      R"(drvtirval_records_passed_over_total{driver="station1"} 1)",
      R"(drvtirval_last_acknowledgement_timestamp_seconds{driver="station1"} 1765284599.999)",
      R"(drvtirval_spool_records_waiting{driver="station1"} 12)",
      R"(drvtirval_spool_records_held_in_memory{driver="station1"} 4)",
      R"(drvtirval_spool_oldest_record_age_seconds{driver="station1"} 600.25)",
      R"(drvtirval_station_port_open{driver="station1"} 1)",
      R"(drvtirval_station_link_up{driver="station1"} 1)",
      R"(drvtirval_server_connected{driver="station1"} 0)",
      R"(drvtirval_server_introduced{driver="station1"} 0)",
      R"(drvtirval_errors_total{driver="station1",code="9"} 1)",
      R"(drvtirval_errors_total{driver="station1",code="12"} 3)",
  };
  std::vector<std::string> samples;
  for (const std::string& line : lines) {
    if (line.rfind('#', 0) != 0) samples.push_back(line);
  }
  EXPECT_EQ(samples, std::vector<std::string>(std::begin(expected), std::end(expected)));
}

// What the collectors insist on: HELP then TYPE once per family, before its samples and
// together with them; counters named _total; a family's samples all of its name.
TEST(HealthTextTest, FamiliesAreWellFormed) {
  const std::string text = FormatHealthText(BusySnapshot());
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\r'), std::string::npos);

  const std::regex help(R"(# HELP ([a-z_]+) \S.*)");
  const std::regex type(R"(# TYPE ([a-z_]+) (counter|gauge))");
  const std::regex sample(R"(([a-z_]+)\{driver="[^"]*"(,[a-z_]+="[^"]*")*\} [0-9]+(\.[0-9]+)?)");
  std::set<std::string> seen;
  std::string family;
  std::string expecting = "help";
  for (const std::string& line : Lines(text)) {
    SCOPED_TRACE(line);
    std::smatch match;
    if (std::regex_match(line, match, help)) {
      family = match[1];
      EXPECT_TRUE(seen.insert(family).second) << "family twice";
      EXPECT_EQ(family.rfind("drvtirval_", 0), 0u);
      expecting = "type";
    } else if (std::regex_match(line, match, type)) {
      EXPECT_EQ(expecting, "type");
      EXPECT_EQ(match[1], family);
      const bool total = family.size() > 6 && family.substr(family.size() - 6) == "_total";
      EXPECT_EQ(total, match[2] == "counter");
      expecting = "sample";
    } else if (std::regex_match(line, match, sample)) {
      EXPECT_EQ(expecting, "sample");
      EXPECT_EQ(match[1], family);
    } else {
      ADD_FAILURE() << "not a line of the text format";
    }
  }
}

// Before the first frame and the first acknowledgement there is no time to show; nothing waits,
// so nothing is old; no error has been logged.
TEST(HealthTextTest, AFreshDriverShowsNoMomentsAndNoAge) {
  HealthSnapshot s;
  s.driverName = "station1";
  s.startUnixMs = kNoonMs;
  s.nowUnixMs = kNoonMs + 1000;
  const std::string text = FormatHealthText(s);
  const std::vector<std::string> lines = Lines(text);
  EXPECT_THAT(lines,
              Not(Contains(::testing::StartsWith("drvtirval_last_frame_timestamp_seconds{"))));
  EXPECT_THAT(
      lines,
      Not(Contains(::testing::StartsWith("drvtirval_last_acknowledgement_timestamp_seconds{"))));
  EXPECT_THAT(lines, Not(Contains(::testing::StartsWith("drvtirval_errors_total{"))));
  EXPECT_THAT(lines, Contains("# TYPE drvtirval_errors_total counter"));
  EXPECT_THAT(lines, Contains(R"(drvtirval_spool_oldest_record_age_seconds{driver="station1"} 0)"));
  EXPECT_THAT(lines, Contains(R"(drvtirval_frames_total{driver="station1",reply="05"} 0)"));
}

// A record stamped later than now (a file from a clock that was ahead) is not younger than new.
TEST(HealthTextTest, AgeNeverGoesBelowZero) {
  HealthSnapshot s = BusySnapshot();
  s.delivery.oldestWaitingStoredMs = s.nowUnixMs + 5000;
  EXPECT_THAT(Lines(FormatHealthText(s)),
              Contains(R"(drvtirval_spool_oldest_record_age_seconds{driver="station1"} 0)"));
}

TEST(HealthTextTest, LabelValuesAreEscaped) {
  const struct {
    std::string value;
    std::string escaped;
  } cases[] = {
      {"station1", "station1"},
      {"", ""},
      {R"(C:\drv\st "2")", R"(C:\\drv\\st \"2\")"},
      {"two\nlines", R"(two\nlines)"},
      {"Станция №1", "Станция №1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EscapeLabelValue(c.value), c.escaped) << c.value;
    HealthSnapshot s = BusySnapshot();
    s.driverName = c.value;
    EXPECT_THAT(Lines(FormatHealthText(s)),
                Contains("drvtirval_station_port_open{driver=\"" + c.escaped + "\"} 1"));
  }
}

TEST(HealthTextTest, MillisecondsBecomeExactSeconds) {
  const struct {
    int64_t ms;
    const char* seconds;
  } cases[] = {
      {0, "0"},
      {1, "0.001"},
      {10, "0.01"},
      {500, "0.5"},
      {999, "0.999"},
      {1000, "1"},
      {12340, "12.34"},
      {kNoonMs, "1765281600"},
      {-1500, "-1.5"},
      {-1000, "-1"},
      {1765281600123, "1765281600.123"},
      {INT64_MIN, "-9223372036854775.808"},
      {INT64_MAX, "9223372036854775.807"},
  };
  for (const auto& c : cases) EXPECT_EQ(MillisecondsAsSeconds(c.ms), c.seconds) << c.ms;
}

TEST(HealthTextTest, StartTimeIsUtcInIsoForm) {
  const struct {
    int64_t ms;
    const char* text;
  } cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {kNoonMs + 999, "2025-12-09T12:00:00Z"},
      {951782400000, "2000-02-29T00:00:00Z"},
      {4102444799000, "2099-12-31T23:59:59Z"},
      {-1000, "1969-12-31T23:59:59Z"},
  };
  for (const auto& c : cases) EXPECT_EQ(IsoUtcTime(c.ms), c.text) << c.ms;
}

// Prometheus's own checker (Debian's prometheus package), when it is installed.
TEST(HealthTextTest, PromtoolFindsNoFault) {
  if (std::system("promtool --version > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
  }
  testing::TempDir dir;
  HealthSnapshot s = BusySnapshot();
  s.driverName = "C:\\drv \"st\"\nx";
  const std::string path = (dir.Path() / "driver.prom").string();
  testing::WriteFileBytes(path, FormatHealthText(s));
  const std::string output = (dir.Path() / "promtool.out").string();
  const int status =
      std::system(("promtool check metrics < '" + path + "' > '" + output + "' 2>&1").c_str());
  EXPECT_EQ(status, 0) << testing::ReadFileBytes(output);
  EXPECT_EQ(testing::ReadFileBytes(output), "");
}

}  // namespace
}  // namespace drv
