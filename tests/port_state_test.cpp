#include "delivery/port_state.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

namespace drv {
namespace {

using ::testing::ElementsAreArray;

struct PayloadCase {
  const char* name;
  std::string portName;  // UTF-8, as the driver holds texts
  bool open;
  std::array<uint8_t, 8> payload;
};

void PrintTo(const PayloadCase& c, std::ostream* out) {
  *out << c.name;
}

class PortStatePayloadTest : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(PortStatePayloadTest, CarriesOneWindows1251BytePerCharacter) {
  const PayloadCase& c = GetParam();
  EXPECT_THAT(PortStatePayload(c.portName, c.open), ElementsAreArray(c.payload));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortStatePayloadTest,
    ::testing::Values(
        PayloadCase{"OpenPort", "COM12", true, {0x05, 0x43, 0x4F, 0x4D, 0x31, 0x32, 0x00, 0x01}},
        PayloadCase{
            "NoPortChosen", "COM255", false, {0x06, 0x43, 0x4F, 0x4D, 0x32, 0x35, 0x35, 0x00}},
        PayloadCase{
            "LongNameCutToSix", "COM12345", true, {0x06, 'C', 'O', 'M', '1', '2', '3', 0x01}},
        PayloadCase{"EmptyName", "", false, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        PayloadCase{"Cyrillic", "КОМ1", true, {0x04, 0xCA, 0xCE, 0xCC, 0x31, 0x00, 0x00, 0x01}},
        // Six characters, not six bytes of their UTF-8 form.
        PayloadCase{"CyrillicCutToSixCharacters",
                    "ПОРТ-№12",
                    false,
                    {0x06, 0xCF, 0xCE, 0xD0, 0xD2, 0x2D, 0xB9, 0x00}},
        PayloadCase{
            "NoWindows1251Form", "COM一", true, {0x04, 'C', 'O', 'M', '?', 0x00, 0x00, 0x01}}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

}  // namespace
}  // namespace drv
