#pragma once

#include <cstddef>
#include <string>

namespace drv {

// The operator's display list of text lines (UTF-8); the window's memo in the program.
class IDisplayList {
 public:
  virtual ~IDisplayList() = default;
  virtual std::size_t LineCount() const = 0;
  virtual void DeleteFirstLine() = 0;
  virtual void AppendLine(const std::string& line) = 0;
};

}  // namespace drv
