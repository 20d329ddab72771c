#include "app/health_text.h"

#include <chrono>
#include <cstdio>
#include <utility>
#include <vector>

namespace drv {
namespace {

struct Label {
  const char* name;
  std::string value;
};

struct Sample {
  std::vector<Label> labels;
  std::string value;
};

using Samples = std::vector<Sample>;

enum class MetricType { kCounter, kGauge };

struct MetricFamily {
  const char* name;
  MetricType type;
  const char* help;
  Samples (*samples)(const HealthSnapshot&);
};

std::string Count(uint64_t value) {
  return std::to_string(value);
}

std::string Flag(bool value) {
  return value ? "1" : "0";
}

Samples One(std::string value) {
  return {Sample{{}, std::move(value)}};
}

// A moment that may not have come yet: no sample until it has.
Samples MomentIfAny(const std::optional<int64_t>& unixMs) {
  if (!unixMs) return {};
  return One(MillisecondsAsSeconds(*unixMs));
}

// The table of what the health file holds, in the order it is written.
const MetricFamily kFamilies[] = {
    {"drvtirval_info", MetricType::kGauge,
     "The driver's version and the time it started (UTC), as labels; always 1.",
     [](const HealthSnapshot& s) {
       return Samples{{{{"version", s.version}, {"start_time", IsoUtcTime(s.startUnixMs)}}, "1"}};
     }},
    {"drvtirval_start_time_seconds", MetricType::kGauge,
     "When the driver started, in seconds since 1970.",
     [](const HealthSnapshot& s) { return One(MillisecondsAsSeconds(s.startUnixMs)); }},
    {"drvtirval_frames_total", MetricType::kCounter,
     "Frames of the station, by the reply they got: 05 accepted, 07 bad checksum, none "
     "(unanswered: their records could be kept nowhere).",
     [](const HealthSnapshot& s) {
       return Samples{{{{"reply", "05"}}, Count(s.frames.accepted)},
                      {{{"reply", "07"}}, Count(s.frames.badChecksum)},
                      {{{"reply", "none"}}, Count(s.frames.unanswered)}};
     }},
    {"drvtirval_last_frame_timestamp_seconds", MetricType::kGauge,
     "When the last frame of the station came, in seconds since 1970; absent before the first.",
     [](const HealthSnapshot& s) { return MomentIfAny(s.lastFrameUnixMs); }},
    {"drvtirval_records_stored_total", MetricType::kCounter,
     "Event records of answered frames taken by the spool (on disk, or held in memory).",
     [](const HealthSnapshot& s) { return One(Count(s.delivery.recordsStored)); }},
    {"drvtirval_records_delivered_total", MetricType::kCounter,
     "Event records the message server acknowledged.",
     [](const HealthSnapshot& s) { return One(Count(s.delivery.recordsDelivered)); }},
    {"drvtirval_records_sent_again_total", MetricType::kCounter,
     "Copies of event records written again after a first write: the server may have them twice.",
     [](const HealthSnapshot& s) { return One(Count(s.recordsSentAgain)); }},
    {"drvtirval_records_passed_over_total", MetricType::kCounter,
     "Event records the server kept refusing while it took others, put behind them.",
     [](const HealthSnapshot& s) { return One(Count(s.recordsPassedOver)); }},
    {"drvtirval_last_acknowledgement_timestamp_seconds", MetricType::kGauge,
     "When the server last acknowledged a record, in seconds since 1970; absent before the first.",
     [](const HealthSnapshot& s) { return MomentIfAny(s.delivery.lastAcknowledgementMs); }},
    {"drvtirval_spool_records_waiting", MetricType::kGauge,
     "Event records not yet acknowledged by the server: spool files and records held in memory.",
     [](const HealthSnapshot& s) { return One(Count(s.delivery.recordsWaiting)); }},
    {"drvtirval_spool_records_held_in_memory", MetricType::kGauge,
     "Waiting event records held in memory because the spool directory could not take them.",
     [](const HealthSnapshot& s) { return One(Count(s.delivery.recordsHeldInMemory)); }},
    {"drvtirval_spool_oldest_record_age_seconds", MetricType::kGauge,
     "Age of the oldest waiting event record; 0 when none waits.",
     [](const HealthSnapshot& s) {
       const int64_t stored = s.delivery.oldestWaitingStoredMs.value_or(s.nowUnixMs);
       return One(MillisecondsAsSeconds(stored < s.nowUnixMs ? s.nowUnixMs - stored : 0));
     }},
    {"drvtirval_station_port_open", MetricType::kGauge,
     "1 while the station's serial port is open.",
     [](const HealthSnapshot& s) { return One(Flag(s.links.portOpen)); }},
    {"drvtirval_station_link_up", MetricType::kGauge,
     "1 while the station link is up (a frame came within the allowed silence).",
     [](const HealthSnapshot& s) { return One(Flag(s.links.stationLinkUp)); }},
    {"drvtirval_server_connected", MetricType::kGauge,
     "1 while the driver is connected to the message server.",
     [](const HealthSnapshot& s) { return One(Flag(s.links.serverConnected)); }},
    {"drvtirval_server_introduced", MetricType::kGauge,
     "1 while the message server has accepted the driver's introduction.",
     [](const HealthSnapshot& s) { return One(Flag(s.links.serverIntroduced)); }},
    {"drvtirval_errors_total", MetricType::kCounter,
     "Errors reported to the error log error.txt, by error code.",
     [](const HealthSnapshot& s) {
       Samples samples;
       for (const auto& [code, count] : s.errorsByCode) {
         samples.push_back({{{"code", std::to_string(code)}}, Count(count)});
       }
       return samples;
     }},
};

// HELP text escapes only backslash and line feed.
std::string EscapeHelp(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (const char c : value) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string MillisecondsAsSeconds(int64_t ms) {
  const bool negative = ms < 0;
  // Unsigned, so that the most negative value has a magnitude too.
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(ms) : static_cast<uint64_t>(ms);
  std::string text = (negative ? "-" : "") + std::to_string(magnitude / 1000);
  unsigned fraction = static_cast<unsigned>(magnitude % 1000);
  if (fraction == 0) return text;
  int digits = 3;
  while (fraction % 10 == 0) {
    fraction /= 10;
    --digits;
  }
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, ".%0*u", digits, fraction);
  return text + buffer;
}

std::string IsoUtcTime(int64_t unixMs) {
  using namespace std::chrono;
  const sys_time<milliseconds> moment{milliseconds{unixMs}};
  const sys_days day = floor<days>(moment);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{floor<seconds>(moment - day)};
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()));
  return buffer;
}

std::string FormatHealthText(const HealthSnapshot& snapshot) {
  const std::string driverLabel = "driver=\"" + EscapeLabelValue(snapshot.driverName) + "\"";
  std::string text;
  for (const MetricFamily& family : kFamilies) {
    text += "# HELP ";
    text += family.name;
    text += ' ';
    text += EscapeHelp(family.help);
    text += "\n# TYPE ";
    text += family.name;
    text += family.type == MetricType::kCounter ? " counter\n" : " gauge\n";
    for (const Sample& sample : family.samples(snapshot)) {
      text += family.name;
      text += '{';
      text += driverLabel;
      for (const Label& label : sample.labels) {
        text += ',';
        text += label.name;
        text += "=\"";
        text += EscapeLabelValue(label.value);
        text += '"';
      }
      text += "} ";
      text += sample.value;
      text += '\n';
    }
  }
  return text;
}

}  // namespace drv
