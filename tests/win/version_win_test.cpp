#include <gtest/gtest.h>

#include "base/version.h"

namespace drv {
namespace {

// Built three times: with the build's version resource, without any, and with a resource whose
// "FileVersion" string is empty; DRV_EXPECTED_VERSION says what each reports.
TEST(ExecutableVersionTest, ReportsTheProgramFilesVersion) {
  EXPECT_EQ(ExecutableVersionText(), DRV_EXPECTED_VERSION);
}

}  // namespace
}  // namespace drv
