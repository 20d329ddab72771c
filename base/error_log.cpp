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

void WriteErrorCode(const std::string& errorLogPath, int code) {
  static const std::string kPrefix = Utf8ToCp1251("ошибка №");
  std::error_code error;
  if (!AppendToFile(errorLogPath, kPrefix + std::to_string(code) + "\r\n", AppendMode::kOnOwnLine,
                    error)) {
    throw std::system_error(error, "append to " + errorLogPath);
  }
}

}  // namespace drv
