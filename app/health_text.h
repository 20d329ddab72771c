#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/health_snapshot.h"

namespace drv {

// The snapshot in the Prometheus text exposition format (version 0.0.4), as the textfile
// collectors of node_exporter and windows_exporter read it: a HELP and a TYPE line before each
// metric family, every sample labelled with the driver's name, no sample time stamps (the
// collectors refuse them), LF line ends.
std::string FormatHealthText(const HealthSnapshot& snapshot);

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabelValue(std::string_view value);
// Milliseconds as seconds, exactly: "1765281600.123", "0.5", "12".
std::string MillisecondsAsSeconds(int64_t ms);
// Milliseconds since 1970 as UTC in ISO 8601: "2025-12-09T12:00:00Z".
std::string IsoUtcTime(int64_t unixMs);

}  // namespace drv
