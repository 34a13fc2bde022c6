#include "security/hardware_identity.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/fake_device.h"
#include "tests/support/row_name.h"

namespace vesk {
namespace {

struct TextCase {
  const char* name;
  std::string input;
  std::string expected;
  friend void PrintTo(const TextCase& row, std::ostream* out) { *out << row.name; }
};

class CpuSerialRules : public ::testing::TestWithParam<TextCase> {};

TEST_P(CpuSerialRules, ReadsTheValueOfTheFirstSerialLine) {
  std::istringstream cpuinfo(GetParam().input);
  EXPECT_EQ(read_cpu_serial(cpuinfo), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CpuSerialRules,
    ::testing::Values(
        TextCase{"KernelLine", "processor\t: 0\nSerial\t\t: 00000000deadbeef\n", "00000000deadbeef"},
        TextCase{"NoSerialLine", "processor\t: 0\nHardware\t: BCM\n", "UNKNOWN_CPU"},
        TextCase{"EmptyText", "", "UNKNOWN_CPU"},
        TextCase{"LongerLabelMatches", "Serial Number : ABC123\n", "ABC123"},
        TextCase{"LowerCaseDoesNotMatch", "serial\t: 1234\n", "UNKNOWN_CPU"},
        TextCase{"LeadingBlankDoesNotMatch", " Serial\t: 1234\n", "UNKNOWN_CPU"},
        TextCase{"TrailingBlanksKept", "Serial\t: 1234  \t\n", "1234  \t"},
        TextCase{"CarriageReturnKept", "Serial\t: 1234\r\n", "1234\r"},
        TextCase{"ColonAndOneBlankIsEmpty", "Serial\t: \n", ""},
        TextCase{"SecondCharacterAfterColon", "Serial:x1234\n", "1234"},
        TextCase{"ColonLastIsEmpty", "Serial\t:\nSerial\t: 99\n", ""},
        TextCase{"NoColonIsEmpty", "Serial\n", ""},
        TextCase{"OnlyFirstSerialLineCounts", "Serial\t: first\nSerial\t: second\n", "first"},
        TextCase{"LastLineWithoutNewline", "a\nSerial\t: 77", "77"},
        TextCase{"ValueKeepsLaterColons", "Serial\t: a:b:c\n", "a:b:c"},
        TextCase{"ShortLineNeverMatches", "Seria\n", "UNKNOWN_CPU"}),
    testing::RowName());

class DeviceSerialRules : public ::testing::TestWithParam<TextCase> {};

TEST_P(DeviceSerialRules, ReadsTheFirstWord) {
  std::istringstream serial_file(GetParam().input);
  EXPECT_EQ(read_device_serial(serial_file), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceSerialRules,
    ::testing::Values(TextCase{"PlainSerial", "4C530001\n", "4C530001"},
                      TextCase{"FirstWordOnly", "  first second\n", "first"},
                      TextCase{"LeadingNewlines", "\n\n\tX9\n", "X9"},
                      TextCase{"Empty", "", "MISSING"},
                      TextCase{"OnlyNewline", "\n", "MISSING"},
                      TextCase{"OnlyBlanks", " \t \r\n", "MISSING"}),
    testing::RowName());

TEST(HardwareFiles, MissingFilesGiveTheSentinels) {
  testing::FakeDevice device;
  const SecurityService service = testing::make_service(device);
  EXPECT_EQ(service.get_cpu_serial(), "00000000deadbeef");
  EXPECT_EQ(service.get_hw_serial("sda"), "MISSING");
  EXPECT_EQ(service.get_hw_serial(""), "MISSING");

  device.plug_usb("USB123 extra\n");
  EXPECT_EQ(service.get_hw_serial("sda"), "USB123");
  EXPECT_EQ(service.get_hw_serial("sdb"), "MISSING");
  device.unplug_usb();
  EXPECT_EQ(service.get_hw_serial("sda"), "MISSING");

  std::filesystem::remove(device.dir().path() / "cpuinfo");
  EXPECT_EQ(service.get_cpu_serial(), "UNKNOWN_CPU");
}

}  // namespace
}  // namespace vesk
