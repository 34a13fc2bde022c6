#include <gtest/gtest.h>

#include "tests/support/fake_device.h"
#include "tests/support/row_name.h"

namespace vesk {
namespace {

using testing::FakeDevice;
using testing::to_hex;

// Expected digests were computed with sha256sum over the exact byte strings
// named in each row, e.g. printf 'ZEPHYR_KEY00000000deadbeef' | sha256sum.
struct KnownKey {
  const char* name;
  std::string cpuinfo_serial_line;  // empty: no Serial line
  std::string usb_serial;           // empty: no drive
  int tier;
  std::string extra;
  std::string expected_hex;
  friend void PrintTo(const KnownKey& row, std::ostream* out) { *out << row.name; }
};

class TierKeyKnownAnswers : public ::testing::TestWithParam<KnownKey> {};

TEST_P(TierKeyKnownAnswers, MatchesSha256OfTheRecipe) {
  const KnownKey& row = GetParam();
  FakeDevice device(row.cpuinfo_serial_line);
  if (!row.usb_serial.empty()) device.plug_usb(row.usb_serial + "\n");
  const auto key = testing::make_service(device).derive_tiered_key(row.tier, row.extra);
  EXPECT_EQ(to_hex(key), row.expected_hex);
}

const std::string kSerialLine = "Serial\t\t: 00000000deadbeef\n";
const std::string kBaseKeyOnly = "ef4df1fb92206bbbc148ba4304b6db36670ae98d4cc46227b9288286bd0f3bb4";
const std::string kEmptyInput = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

INSTANTIATE_TEST_SUITE_P(
    Table, TierKeyKnownAnswers,
    ::testing::Values(
        // 'ZEPHYR_KEY'
        KnownKey{"Tier1", kSerialLine, "", 1, "", kBaseKeyOnly},
        KnownKey{"Tier1IgnoresExtraAndDrive", "", "USB123", 1, "ctx", kBaseKeyOnly},
        // 'ZEPHYR_KEY00000000deadbeef'
        KnownKey{"Tier2", kSerialLine, "", 2, "",
                 "7fd4480443ee882d93d7799e39b9787ef0b538d67c5c1f2dab9f26962eba2949"},
        KnownKey{"Tier2IgnoresExtra", kSerialLine, "USB123", 2, "ctx",
                 "7fd4480443ee882d93d7799e39b9787ef0b538d67c5c1f2dab9f26962eba2949"},
        // 'ZEPHYR_KEYUNKNOWN_CPU'
        KnownKey{"Tier2WithoutSerial", "", "", 2, "",
                 "d5fb235c364d17d2c77d0c4afe5ee43ab0ce3eaaf87da8cb575c64395d29eea8"},
        // '00000000deadbeefUSB123'
        KnownKey{"Tier3", kSerialLine, "USB123", 3, "",
                 "2660e353f6a3d21d6e9b4a72336b8ed778e23a25cfc2708d7ac2fa66d4eb62f5"},
        // '00000000deadbeefUSB123ctx'
        KnownKey{"Tier3WithExtra", kSerialLine, "USB123", 3, "ctx",
                 "5bf35dbf516a18cd4a0de488238b25468d4a55aa0291c9221dd7c20c1d8bba64"},
        // '00000000deadbeefMISSING'
        KnownKey{"Tier3WithoutDrive", kSerialLine, "", 3, "",
                 "22bf6ebd1da0ed18b8fe71e4e5bf49d71e935b142baff4905c617388bf0ee26c"},
        // ''
        KnownKey{"Tier0", kSerialLine, "", 0, "x", kEmptyInput},
        KnownKey{"Tier4", kSerialLine, "", 4, "", kEmptyInput},
        KnownKey{"TierMinus1", kSerialLine, "", -1, "", kEmptyInput}),
    testing::RowName());

TEST(TierKey, Tier3DoesNotDependOnTheBaseKey) {
  FakeDevice device;
  device.plug_usb("USB123\n");
  const SecurityService other_key("/x", testing::bytes_of("SOME_OTHER"), device.paths());
  EXPECT_EQ(other_key.derive_tiered_key(3, ""), testing::make_service(device).derive_tiered_key(3, ""));
  EXPECT_NE(other_key.derive_tiered_key(1, ""), testing::make_service(device).derive_tiered_key(1, ""));
}

}  // namespace
}  // namespace vesk
