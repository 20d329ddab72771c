#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/cp1251.h"
#include "base/win_text.h"

namespace drv {
namespace {

// The system's code page 1251 is an independent check of the whole table.
TEST(Cp1251Test, AgreesWithTheSystemsCodePage) {
  for (int byte = 1; byte < 256; ++byte) {
    if (byte == 0x98) continue;
    SCOPED_TRACE(byte);
    const char in = static_cast<char>(byte);
    wchar_t wide[4] = {};
    const int length = MultiByteToWideChar(1251, MB_ERR_INVALID_CHARS, &in, 1, wide, 4);
    ASSERT_EQ(length, 1);
    EXPECT_EQ(Cp1251ToUtf8(std::string(1, in)), WideToUtf8(std::wstring_view(wide, 1)));
  }
}

}  // namespace
}  // namespace drv
