#include "tools/spool/spool_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/file_io.h"
#include "delivery/message_types.h"

namespace drv::tools {
namespace {

std::string Format(const char* format, auto... values) {
  char text[128];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

std::string PrintableCode(const EventRecord& record) {
  std::string code;
  for (char c : record.EventCode()) code += (c >= 0x20 && c < 0x7F) ? c : '?';
  return code;
}

std::string RecordTimeText(TDateTime time) {
  if (!std::isfinite(time) || time < -693593.0 || time >= 2958466.0) return "";
  const CivilTime t = DecodeDateTime(time);
  return Format("%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond);
}

// The record's usual description; a time that names no calendar day (a damaged file) is shown
// as its raw value instead of being broken down.
std::string DescribeRecord(const EventRecord& record) {
  if (!RecordTimeText(record.EventTime).empty()) return DescribeEventRecord(record);
  EventRecord withoutTime = record;
  withoutTime.EventTime = 0.0;
  std::string text = DescribeEventRecord(withoutTime);
  const std::size_t time = text.rfind(" time=");
  if (time != std::string::npos) text.resize(time);
  return text + Format(" time=invalid(%g)", record.EventTime);
}

std::string RecordJson(const EventRecord& r) {
  std::string json = "{";
  json += "\"object\":" + std::to_string(r.ObjectNumber);
  json += ",\"code\":" + JsonString(PrintableCode(r));
  json += ",\"code_length\":" + std::to_string(r.EventCodeLength);
  json += ",\"zone\":" + std::to_string(r.Zone);
  json += ",\"partition\":" + std::to_string(r.Partition);
  json += ",\"flags\":" + std::to_string(r.Flags);
  json += ",\"info_a\":" + std::to_string(r.InfoA);
  json += ",\"info_b\":" + std::to_string(r.InfoB);
  json += ",\"info_c\":" + std::to_string(r.InfoC);
  json += ",\"info_d\":" + std::to_string(r.InfoD);
  json += ",\"info_e\":" + std::to_string(r.InfoE);
  json += ",\"extra1\":" + std::to_string(r.Extra1);
  json += ",\"extra2\":" + std::to_string(r.Extra2);
  const std::string time = RecordTimeText(r.EventTime);
  json += ",\"time\":" + (time.empty() ? std::string("null") : JsonString(time));
  // JSON has no NaN or infinity.
  json += ",\"time_value\":" +
          (std::isfinite(r.EventTime) ? Format("%.17g", r.EventTime) : std::string("null"));
  json += "}";
  return json;
}

// Length of the UTF-8 sequence at text[i], or 0 when it is not a well-formed one.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  uint32_t min = 0;
  uint32_t code = 0;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, min = 0x80, code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, min = 0x800, code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, min = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

bool IsSetAsideSpoolFileName(std::string_view name, std::string_view namePrefix) {
  if (!name.starts_with(namePrefix) || !name.ends_with(kSetAsideExtension)) return false;
  std::string_view rest = name.substr(0, name.size() - kSetAsideExtension.size());
  // A name that was taken already got a counter: "X.dd8.2.bad".
  const std::size_t dot = rest.rfind('.');
  if (dot != std::string_view::npos && dot + 1 < rest.size() &&
      std::all_of(rest.begin() + static_cast<std::ptrdiff_t>(dot) + 1, rest.end(),
                  [](char c) { return c >= '0' && c <= '9'; })) {
    rest = rest.substr(0, dot);
  }
  return IsSpoolFileName(rest, namePrefix);
}

SpoolFileReport InspectSpoolContent(std::string name, std::optional<uint64_t> size,
                                    const std::optional<SpoolFileContent>& content,
                                    SpoolReadError error) {
  SpoolFileReport report;
  report.name = std::move(name);
  report.size = size;
  if (!content) {
    if ((error == SpoolReadError::kTooShort || error == SpoolReadError::kEmpty) && size) {
      report.problem = "too short: " + std::to_string(*size) + " bytes";
    } else {
      report.problem = "unreadable: " + std::string(SpoolReadErrorText(error));
    }
    return report;
  }
  report.type = content->type;
  report.record = ParseEventRecord(content->payload);
  if (content->type != MsgEventRecord) {
    report.problem = Format("wrong type 0x%08X", static_cast<unsigned>(content->type));
  } else if (content->payload.size() != kEventRecordSize) {
    report.problem = "payload is " + std::to_string(content->payload.size()) + " bytes, not " +
                     std::to_string(kEventRecordSize);
  }
  return report;
}

SpoolFileReport InspectSpoolFile(const std::string& directory, const std::string& name) {
  const std::string path = directory + name;
  const std::optional<uint64_t> size = RegularFileSize(path);
  SpoolReadError error = SpoolReadError::kNone;
  const std::optional<SpoolFileContent> content = ReadSpoolFile(path, &error);
  SpoolFileReport report = InspectSpoolContent(name, size, content, error);
  if (IsSetAsideSpoolFileName(name, "")) {
    report.setAside = true;
    report.problem = "set aside by the driver" + (report.Ok() ? "" : "; " + report.problem);
  }
  return report;
}

std::optional<std::vector<std::string>> ListSpoolFiles(const SpoolLocation& location,
                                                       std::string* failure) {
  const std::string directory = location.directory.empty() ? "." : location.directory;
  std::error_code error;
  const std::optional<std::vector<std::string>> all = ListDirectory(directory, error);
  if (!all) {
    if (failure != nullptr) {
      *failure = "cannot open directory '" + directory + "': " + error.message();
    }
    return std::nullopt;
  }
  std::vector<std::string> names;
  for (const std::string& name : *all) {
    if (IsSpoolFileName(name, location.namePrefix) ||
        IsSetAsideSpoolFileName(name, location.namePrefix)) {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string FormatReportLine(const SpoolFileReport& report) {
  std::string line = report.name;
  if (report.size) line += "  " + std::to_string(*report.size) + " bytes";
  if (report.type) line += Format("  type 0x%08X", static_cast<unsigned>(*report.type));
  if (!report.Ok()) line += "  DAMAGED: " + report.problem;
  if (report.record) line += "  " + DescribeRecord(*report.record);
  return line;
}

std::string FormatReportsJson(const std::vector<SpoolFileReport>& reports) {
  std::string json = "[";
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const SpoolFileReport& report = reports[i];
    json += i == 0 ? "\n  {" : ",\n  {";
    json += "\"file\":" + JsonString(report.name);
    json += ",\"size\":" + (report.size ? std::to_string(*report.size) : std::string("null"));
    json += ",\"type\":" + (report.type ? std::to_string(*report.type) : std::string("null"));
    json += ",\"ok\":" + std::string(report.Ok() ? "true" : "false");
    if (report.setAside) json += ",\"set_aside\":true";
    if (!report.Ok()) json += ",\"error\":" + JsonString(report.problem);
    if (report.record) json += ",\"record\":" + RecordJson(*report.record);
    json += "}";
  }
  json += reports.empty() ? "]\n" : "\n]\n";
  return json;
}

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      json += "\\ufffd";
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      json += '\\';
      json += static_cast<char>(c);
    } else if (c < 0x20) {
      json += Format("\\u%04x", static_cast<unsigned>(c));
    } else {
      json.append(text.substr(i, length));
    }
    i += length;
  }
  json += "\"";
  return json;
}

}  // namespace drv::tools
