#pragma once

#include <string>

namespace drv {

inline constexpr char kErrorLogFileName[] = "error.txt";

// The error log in `directory`; an empty directory gives the bare (relative) file name.
std::string ErrorLogPath(const std::string& directory);

// Appends "ошибка №<code>" and CR LF, in Windows-1251, creating the file when missing. When the
// file's last line has no line end, one is added first, so every code stands on a line of its
// own. Throws std::system_error when the file cannot be created or written; callers decide.
void WriteErrorCode(const std::string& errorLogPath, int code);

// Appends `text` (UTF-8; line breaks become blanks) and CR LF in Windows-1251, on a line of its
// own: for what a window would have shown in a message box when the driver runs without one. Throws
// as WriteErrorCode does.
void WriteErrorText(const std::string& errorLogPath, const std::string& text);

}  // namespace drv
