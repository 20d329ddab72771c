#pragma once

#include <deque>
#include <string>

#include "receiver/display_list.h"

namespace drv::testing {

class FakeDisplayList final : public IDisplayList {
 public:
  std::size_t LineCount() const override { return lines.size(); }
  void DeleteFirstLine() override {
    if (!lines.empty()) lines.pop_front();
  }
  void AppendLine(const std::string& line) override { lines.push_back(line); }

  std::deque<std::string> lines;
};

}  // namespace drv::testing
