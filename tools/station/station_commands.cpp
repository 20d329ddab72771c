#include "tools/station/station_commands.h"

#include <map>

#include "base/hex_text.h"
#include "base/program_options.h"

namespace drv::station {
namespace {

ParsedCommand Error(std::string text) {
  return ParsedCommand{std::nullopt, std::move(text)};
}

std::vector<std::string> SplitCommas(std::string_view text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    parts.emplace_back(text.substr(start, comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return parts;
}

// Takes the fault options out of `words`; what remains belongs to the command itself.
std::optional<std::string> TakeFaults(std::vector<std::string>& words, FrameFaults& faults) {
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i] == "--bad-checksum") {
      faults.badChecksum = true;
    } else if (words[i] == "--no-end-mark") {
      faults.noEndMark = true;
    } else if (words[i] == "--noise") {
      const auto count =
          i + 1 < words.size() ? ParseWholeNumber(words[i + 1], 0, kMaxNoiseBytes) : std::nullopt;
      if (!count) return "--noise needs a byte count from 0 to " + std::to_string(kMaxNoiseBytes);
      faults.noiseBytes = static_cast<int>(*count);
      ++i;
    } else {
      rest.push_back(words[i]);
    }
  }
  words = std::move(rest);
  return std::nullopt;
}

ParsedCommand ParseReport(const std::vector<std::string>& words) {
  struct Field {
    long low;
    long high;
    std::optional<long> value;
  };
  std::map<std::string, Field> fields = {
      {"--object", {0, 65535, std::nullopt}}, {"--code", {0, kMaxEventNumber, std::nullopt}},
      {"--zone", {0, 255, std::nullopt}},     {"--partition", {0, kMaxPartition, std::nullopt}},
      {"--qualifier", {1, 3, std::nullopt}},
  };
  for (std::size_t i = 1; i < words.size(); i += 2) {
    const auto field = fields.find(words[i]);
    if (field == fields.end()) return Error("report: unknown word '" + words[i] + "'");
    if (i + 1 >= words.size()) return Error("report: " + words[i] + " needs a value");
    field->second.value = ParseWholeNumber(words[i + 1], field->second.low, field->second.high);
    if (words[i] == "--qualifier" && field->second.value != 1 && field->second.value != 3) {
      return Error("report: --qualifier is 1 or 3, not '" + words[i + 1] + "'");
    }
    if (!field->second.value) {
      return Error("report: " + words[i] + " takes a number from " +
                   std::to_string(field->second.low) + " to " + std::to_string(field->second.high) +
                   ", not '" + words[i + 1] + "'");
    }
  }
  for (const char* required : {"--object", "--code", "--zone", "--partition"}) {
    if (!fields.at(required).value) return Error(std::string("report: ") + required + " missing");
  }
  ReportFields report;
  report.objectNumber = static_cast<uint16_t>(*fields.at("--object").value);
  report.eventNumber = static_cast<uint16_t>(*fields.at("--code").value);
  report.zone = static_cast<uint8_t>(*fields.at("--zone").value);
  report.partition = static_cast<uint8_t>(*fields.at("--partition").value);
  report.qualifier = static_cast<uint8_t>(fields.at("--qualifier").value.value_or(1));
  std::string description;
  for (std::size_t i = 0; i < words.size(); ++i) description += (i ? " " : "") + words[i];
  return ParsedCommand{SendCommand{{BuildReportMessage(report), true, description}, {}}, {}};
}

std::optional<std::vector<uint8_t>> NumberList(std::string_view text, long low, long high,
                                               bool hex) {
  std::vector<uint8_t> values;
  for (const std::string& part : SplitCommas(text)) {
    if (hex) {
      const auto bytes = ParseHexWords(std::span<const std::string>(&part, 1));
      if (!bytes || bytes->size() != 1) return std::nullopt;
      values.push_back(bytes->front());
    } else {
      const auto value = ParseWholeNumber(part, low, high);
      if (!value) return std::nullopt;
      values.push_back(static_cast<uint8_t>(*value));
    }
  }
  if (values.empty() || values.size() > BlockMessageBuilder::kMaxListItems) return std::nullopt;
  return values;
}

ParsedCommand ParseBlock(const std::vector<std::string>& words) {
  BlockMessageBuilder builder;
  for (std::size_t i = 1; i < words.size(); i += 2) {
    const std::string& kind = words[i];
    if (i + 1 >= words.size()) return Error("block: '" + kind + "' needs a value");
    const std::string& value = words[i + 1];
    if (kind == "object") {
      const auto number = ParseWholeNumber(value, 1, BlockMessageBuilder::kMaxObjectNumber);
      if (!number) return Error("block: object takes a number from 1 to 4096, not '" + value + "'");
      builder.Object(static_cast<uint16_t>(*number));
    } else if (kind == "code") {
      const auto code = NumberList(value, 0, 255, true);
      if (!code || code->size() != 1)
        return Error("block: code takes one hex byte, not '" + value + "'");
      builder.Code(code->front());
    } else if (kind == "zone") {
      const auto zone = ParseWholeNumber(value, 1, BlockMessageBuilder::kMaxZoneSubBlock);
      if (!zone) return Error("block: zone takes a number from 1 to 64, not '" + value + "'");
      builder.Zone(static_cast<uint8_t>(*zone));
    } else if (kind == "zones") {
      const auto zones = NumberList(value, 0, 255, false);
      if (!zones)
        return Error("block: zones takes 1 to 31 numbers from 0 to 255, not '" + value + "'");
      builder.ZoneList(*zones);
    } else if (kind == "extra") {
      const auto bytes = NumberList(value, 0, 255, true);
      if (!bytes) return Error("block: extra takes 1 to 31 hex bytes, not '" + value + "'");
      builder.ExtraBytes(*bytes);
    } else {
      return Error("block: unknown sub-block '" + kind + "' (object, code, zone, zones, extra)");
    }
  }
  std::string description;
  for (std::size_t i = 0; i < words.size(); ++i) description += (i ? " " : "") + words[i];
  return ParsedCommand{SendCommand{{builder.Finish(), true, description}, {}}, {}};
}

ParsedCommand ParseRaw(std::vector<std::string> words) {
  bool appendChecksum = true;
  std::vector<std::string> hexWords;
  for (std::size_t i = 1; i < words.size(); ++i) {
    if (words[i] == "--no-checksum") {
      appendChecksum = false;
    } else {
      hexWords.push_back(words[i]);
    }
  }
  const auto bytes = ParseHexWords(hexWords);
  if (!bytes) return Error("raw: bytes are written as pairs of hex digits, such as F2 0E");
  if (bytes->empty() && appendChecksum) return Error("raw: no bytes given");
  // A frame carries at most 127 bytes: its data bytes are counted in one byte on the other side.
  if (bytes->size() + (appendChecksum ? 1 : 0) > 127) return Error("raw: more than 127 bytes");
  std::string description =
      "raw " + BlankSeparatedHex(*bytes) + (appendChecksum ? "" : " --no-checksum");
  return ParsedCommand{SendCommand{{*bytes, appendChecksum, description}, {}}, {}};
}

}  // namespace

std::vector<std::string> SplitScriptLine(std::string_view line) {
  line = line.substr(0, line.find('#'));
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) words.emplace_back(line.substr(start, i - start));
  }
  return words;
}

ParsedCommand ParseStationCommand(std::span<const std::string> input) {
  if (input.empty()) return Error("no command");
  std::vector<std::string> words(input.begin(), input.end());
  const std::string name = words[0];
  if (name == "sleep") {
    const auto ms = words.size() == 2 ? ParseWholeNumber(words[1], 0, 86'400'000) : std::nullopt;
    if (!ms) return Error("sleep takes one number of milliseconds");
    return ParsedCommand{SleepCommand{static_cast<int>(*ms)}, {}};
  }
  FrameFaults faults;
  if (auto error = TakeFaults(words, faults)) return Error(name + ": " + *error);
  ParsedCommand parsed;
  if (name == "report") {
    parsed = ParseReport(words);
  } else if (name == "block") {
    parsed = ParseBlock(words);
  } else if (name == "raw") {
    parsed = ParseRaw(words);
  } else {
    return Error("unknown command '" + name + "' (report, block, raw, sleep)");
  }
  if (parsed.command) std::get<SendCommand>(*parsed.command).faults = faults;
  return parsed;
}

}  // namespace drv::station
