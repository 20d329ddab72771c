#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "delivery/event_record.h"
#include "delivery/spool_directory.h"

namespace drv::tools {

// What one file of a spool directory holds.
struct SpoolFileReport {
  std::string name;              // file name within the directory
  std::optional<uint64_t> size;  // bytes, when the file could be examined
  std::optional<uint32_t> type;  // message type, when at least 4 bytes could be read
  std::optional<EventRecord> record;
  bool setAside = false;  // renamed to ".bad" by the driver
  std::string problem;    // why the file cannot be resent as an event; empty when good

  bool Ok() const { return problem.empty(); }
};

// Set-aside spool files: the spool name with ".bad" (or ".N.bad") behind it.
bool IsSetAsideSpoolFileName(std::string_view name, std::string_view namePrefix);

// Judges what was read from a spool file; the read error counts when there is no content.
SpoolFileReport InspectSpoolContent(std::string name, std::optional<uint64_t> size,
                                    const std::optional<SpoolFileContent>& content,
                                    SpoolReadError error);

// Reads and judges directory + name.
SpoolFileReport InspectSpoolFile(const std::string& directory, const std::string& name);

// Spool and set-aside files of a location, sorted by name. nullopt with the reason in
// *failure when the directory cannot be read.
std::optional<std::vector<std::string>> ListSpoolFiles(const SpoolLocation& location,
                                                       std::string* failure);

// "NAME  31 bytes  type 0x03000042  object=..." or "NAME  3 bytes  DAMAGED: ...".
std::string FormatReportLine(const SpoolFileReport& report);

// A JSON array with one object per file.
std::string FormatReportsJson(const std::vector<SpoolFileReport>& reports);

// Text as a JSON string literal, quotes included; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(std::string_view text);

}  // namespace drv::tools
