// Arbitrary bytes as a spool file: reading it back and describing it must never crash.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "delivery/spool_directory.h"
#include "tools/spool/spool_report.h"

namespace {

const std::string& Directory() {
  static const std::string directory = [] {
    std::string pattern = "/tmp/spool-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    return pattern + "/";
  }();
  return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string name = "5265C00.dd8";
  const std::string path = Directory() + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  if (size > 0) std::fwrite(data, 1, size, file);
  std::fclose(file);

  drv::SpoolReadError error = drv::SpoolReadError::kNone;
  const auto content = drv::ReadSpoolFile(path, &error);
  if (content.has_value() != (size >= 4 && size <= drv::kMaxSpoolFileSize)) abort();
  if (content && content->payload.size() != size - 4) abort();

  const drv::tools::SpoolFileReport report = drv::tools::InspectSpoolFile(Directory(), name);
  const std::string line = drv::tools::FormatReportLine(report);
  const std::string json = drv::tools::FormatReportsJson({report});
  if (line.empty() || json.empty()) abort();
  ::unlink(path.c_str());
  return 0;
}
