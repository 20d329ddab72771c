#include "ui/memo_text.h"

namespace drv {
namespace {

constexpr std::wstring_view kLineBreak = L"\r\n";

}  // namespace

std::size_t MemoLineCount(std::wstring_view text) {
  if (text.empty()) return 0;
  std::size_t lines = 1;
  for (std::size_t at = text.find(kLineBreak); at != std::wstring_view::npos;
       at = text.find(kLineBreak, at + kLineBreak.size())) {
    ++lines;
  }
  return lines;
}

std::size_t MemoFirstLineLength(std::wstring_view text) {
  const std::size_t end = text.find(kLineBreak);
  return end == std::wstring_view::npos ? text.size() : end + kLineBreak.size();
}

std::wstring MemoLineToAppend(std::wstring_view text, std::wstring_view line) {
  std::wstring added;
  if (!text.empty()) added = kLineBreak;
  added += line;
  return added;
}

}  // namespace drv
