#pragma once

#include <string>
#include <string_view>

namespace drv {

// Paths that the driver builds from a directory and a file name use the platform's separator:
// "\" on Windows, "/" elsewhere. Every path is UTF-8 text.

char PathSeparator();
// Windows takes "/" as well as "\".
bool IsPathSeparator(char c);
// True when the path does not count from the working directory: "/..." on POSIX systems; on
// Windows a path that starts with a separator ("\dir", "\\server\share") or a drive ("C:\dir",
// and "C:dir", which counts from that drive's own directory).
bool IsAbsolutePath(std::string_view path);

// `directory`, the separator unless it ends with one already, then `name`; `name` alone when the
// directory is empty (a path relative to the working directory).
std::string JoinPath(std::string_view directory, std::string_view name);

}  // namespace drv
