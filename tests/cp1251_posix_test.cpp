#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "base/cp1251.h"

namespace drv {
namespace {

// The system's converter is an independent check of the whole table.
TEST(Cp1251Test, AgreesWithTheSystemConverter) {
  const iconv_t converter = iconv_open("UTF-8", "CP1251");
  if (converter == reinterpret_cast<iconv_t>(-1)) GTEST_SKIP() << "no CP1251 in iconv";
  for (int byte = 1; byte < 256; ++byte) {
    if (byte == 0x98) continue;
    SCOPED_TRACE(byte);
    char in[1] = {static_cast<char>(byte)};
    char out[8] = {};
    char* inPtr = in;
    char* outPtr = out;
    size_t inLeft = 1;
    size_t outLeft = sizeof out;
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft), static_cast<size_t>(-1));
    EXPECT_EQ(Cp1251ToUtf8(std::string(1, in[0])),
              std::string(out, static_cast<size_t>(outPtr - out)));
  }
  iconv_close(converter);
}

}  // namespace
}  // namespace drv
