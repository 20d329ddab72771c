#include "base/error_log.h"

#include <string>
#include <system_error>

#include "base/cp1251.h"
#include "base/file_io.h"
#include "base/paths.h"

namespace drv {

std::string ErrorLogPath(const std::string& directory) {
  return JoinPath(directory, kErrorLogFileName);
}

namespace {

void AppendLine(const std::string& errorLogPath, const std::string& cp1251Line) {
  std::error_code error;
  if (!AppendToFile(errorLogPath, cp1251Line + "\r\n", AppendMode::kOnOwnLine, error)) {
    throw std::system_error(error, "append to " + errorLogPath);
  }
}

}  // namespace

void WriteErrorCode(const std::string& errorLogPath, int code) {
  static const std::string kPrefix = Utf8ToCp1251("ошибка №");
  AppendLine(errorLogPath, kPrefix + std::to_string(code));
}

void WriteErrorText(const std::string& errorLogPath, const std::string& text) {
  // A line break inside the text would start a line that is neither a code nor a message.
  std::string line = text;
  for (char& c : line) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  AppendLine(errorLogPath, Utf8ToCp1251(line));
}

}  // namespace drv
