#pragma once

#include <string>

namespace drv {

// The version text the driver reports to the message server. On Windows the "FileVersion" string
// of the program file's version information (its first translation), or the fixed file version
// as "a.b.c.d" when that string is empty; empty when the program file carries no version
// information. Elsewhere the version of the build.
std::string ExecutableVersionText();

}  // namespace drv
