#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace drv {

// The display list held as the text of a multi-line edit field, whose lines end in CR LF: the
// line arithmetic of a front end whose memo is plain text. An empty text has no lines; any other
// text has one line more than it has line breaks, the last one possibly empty after a typed
// Enter.
std::size_t MemoLineCount(std::wstring_view text);

// How many characters to remove from the front to delete the first line with its line break:
// the whole text when it is one line.
std::size_t MemoFirstLineLength(std::wstring_view text);

// What to add at the end of `text` to append `line` as its new last line.
std::wstring MemoLineToAppend(std::wstring_view text, std::wstring_view line);

}  // namespace drv
