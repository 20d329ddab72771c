#pragma once

#include <string>
#include <string_view>
#include <system_error>

// Windows only: the driver's UTF-8 texts and paths at the boundary of the UTF-16 system calls.
namespace drv {

// Malformed UTF-8 becomes U+FFFD.
std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);

// The calling thread's last system error (GetLastError), with the codes for a missing file or
// directory made std::errc::no_such_file_or_directory.
std::error_code LastWindowsError();
std::error_code WindowsError(unsigned long code);

// The system's message for an error code, in UTF-8, without its line end.
std::string WindowsErrorText(unsigned long code);

}  // namespace drv
