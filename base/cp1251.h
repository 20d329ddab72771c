#pragma once

#include <string>
#include <string_view>

namespace drv {

// Windows-1251, the code page of the settings file and the error log.

// Characters without a 1251 code, and malformed UTF-8, become '?'.
std::string Utf8ToCp1251(std::string_view utf8);

// Every byte maps; 0x98, the one byte 1251 leaves unassigned, becomes U+FFFD.
std::string Cp1251ToUtf8(std::string_view cp1251);

}  // namespace drv
