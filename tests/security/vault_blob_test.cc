// RAND_set_rand_method is deprecated in OpenSSL 3 but still honoured by
// RAND_bytes; it is the only way to make the generator fail on purpose.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "security/errors.h"
#include "tests/support/fake_device.h"
#include "tests/support/openssl_cli.h"

#include <openssl/rand.h>

namespace vesk {
namespace {

using testing::FakeDevice;
using testing::ScopedTempDir;
using testing::to_hex;

std::string value_of_length(std::size_t length) {
  std::string value;
  for (std::size_t i = 0; i < length; ++i) value += static_cast<char>((i * 37) % 256);  // NULs too
  return value;
}

class VaultBlob : public ::testing::Test {
 protected:
  FakeDevice device;
  SecurityService service = testing::make_service(device);
  ScopedTempDir scratch;

  std::string blob_from_openssl_cli(int tier, const std::string& iv_hex, const std::string& value) {
    return testing::encrypt_with_openssl_cli(tier, value, to_hex(service.derive_tiered_key(tier, "")),
                                             iv_hex, scratch);
  }
};

TEST_F(VaultBlob, SizesFollowTheValueLength) {
  struct Row {
    std::size_t value_length;
    std::size_t blob_length;
    std::size_t padding;
  };
  for (const Row row : {Row{0, 47, 1}, Row{15, 47, 1}, Row{16, 67, 0}, Row{31, 67, 0},
                        Row{32, 91, 2}, Row{47, 91, 2}}) {
    const std::string blob = service.vault(value_of_length(row.value_length), 1, "");
    EXPECT_EQ(blob.size(), row.blob_length) << row.value_length;
    EXPECT_EQ(blob.substr(0, 3), "v1:");
    EXPECT_EQ(blob.size() - blob.find_last_not_of('='), row.padding + 1) << blob;
  }
  EXPECT_EQ(service.vault("x", 2, "").substr(0, 3), "v2:");
}

TEST_F(VaultBlob, BlobsUseOnlyTheUrlSafeAlphabetAndFreshIvs) {
  const auto allowed = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '=';
  };
  std::string previous;
  for (int i = 0; i < 200; ++i) {
    const std::string blob = service.vault("same value", 1, "");
    EXPECT_TRUE(std::all_of(blob.begin() + 3, blob.end(), allowed)) << blob;
    EXPECT_NE(blob, previous);
    previous = blob;
  }
}

TEST_F(VaultBlob, RoundTripsEveryLengthAtEveryTier) {
  device.plug_usb("USB123\n");
  for (const int tier : {1, 2, 3, 0}) {
    for (const std::size_t length : {0u, 1u, 15u, 16u, 17u, 47u, 48u, 3000u}) {
      const std::string value = value_of_length(length);
      EXPECT_EQ(service.unvault(service.vault(value, tier, "ctx"), tier, "ctx"), value)
          << "tier " << tier << " length " << length;
    }
  }
}

TEST_F(VaultBlob, CommandLineDecryptsWhatVaultWrote) {
  for (const std::size_t length : {0u, 16u, 40u}) {
    const std::string value = value_of_length(length);
    EXPECT_EQ(testing::decrypt_with_openssl_cli(service.vault(value, 2, ""),
                                                to_hex(service.derive_tiered_key(2, "")), scratch),
              value);
  }
}

TEST_F(VaultBlob, UnvaultReadsWhatTheCommandLineWrote) {
  for (const std::string& value : {std::string(""), std::string("P@ssw0rd!"), value_of_length(33)}) {
    const std::string blob = blob_from_openssl_cli(1, "000102030405060708090a0b0c0d0e0f", value);
    EXPECT_EQ(service.unvault(blob, 1, ""), value);
  }
}

TEST_F(VaultBlob, PrefixIsNotReadAndBothAlphabetsDecode) {
  // An IV of fb ff bf ... encodes as "+/+/...", so the URL-safe body holds
  // "-" and "_" in a known place.
  const std::string blob = blob_from_openssl_cli(1, "fbffbffbffbffbffbffbffbffbffbfff", "secret");
  ASSERT_EQ(blob.substr(3, 4), "-_-_");
  std::string standard = blob;
  std::replace(standard.begin(), standard.end(), '-', '+');
  std::replace(standard.begin(), standard.end(), '_', '/');
  EXPECT_EQ(service.unvault(blob, 1, ""), "secret");
  EXPECT_EQ(service.unvault(standard, 1, ""), "secret");
  EXPECT_EQ(service.unvault("zz!" + blob.substr(3), 1, ""), "secret");
}

TEST_F(VaultBlob, MalformedBlobsGiveTheInBandTexts) {
  struct Row {
    std::string blob;
    std::string expected;
  };
  for (const Row& row : {Row{"", "ERR_BLOB_SHORT"}, Row{"v", "ERR_BLOB_SHORT"},
                         Row{"v1:", "ERR_BLOB_SHORT"}, Row{"v1:A", "ERR_DECODE_FAIL"},
                         Row{"v1:AAAA", "ERR_DECODE_FAIL"},  // a 3-byte payload
                         Row{"v1:AAAAAAAAAAAAAAAAAAAA", "ERR_DECODE_FAIL"},  // 15 bytes
                         Row{"v1:!!!!!!!!", "ERR_DECODE_FAIL"},
                         Row{"v1:not base64 at all, with blanks", "ERR_DECODE_FAIL"}}) {
    EXPECT_EQ(service.unvault(row.blob, 1, ""), row.expected) << row.blob;
  }
}

TEST_F(VaultBlob, FailedDecryptionsRaiseInsteadOfReturningBytes) {
  const std::string blob = blob_from_openssl_cli(1, "000102030405060708090a0b0c0d0e0f", "secret");
  std::string damaged = blob;
  damaged[damaged.size() - 5] = damaged[damaged.size() - 5] == 'A' ? 'B' : 'A';
  const std::string iv_only = "v1:AAAAAAAAAAAAAAAAAAAAAA==";
  const std::string partial_block = "v1:" + std::string(27, 'A');  // 20 bytes: IV + 4

  EXPECT_THROW(service.unvault(blob, 2, ""), DecryptionError);  // another tier's key
  EXPECT_THROW(service.unvault(damaged, 1, ""), DecryptionError);
  EXPECT_THROW(service.unvault(iv_only, 1, ""), DecryptionError);
  EXPECT_THROW(service.unvault(partial_block, 1, ""), DecryptionError);
}

TEST_F(VaultBlob, Tier2BlobsAreBoundToTheCpuSerial) {
  const std::string blob = service.vault("bound secret, two blocks long", 2, "");
  const std::string tier1_blob = service.vault("portable", 1, "");
  device.set_cpuinfo("Serial\t\t: 00000000cafef00d\n");
  EXPECT_THROW(service.unvault(blob, 2, ""), DecryptionError);
  EXPECT_EQ(service.unvault(tier1_blob, 1, ""), "portable");
}

int failing_random_bytes(unsigned char* /*buffer*/, int /*count*/) { return 0; }
int random_status() { return 1; }

TEST_F(VaultBlob, AFailingRandomGeneratorMakesNoBlob) {
  static RAND_METHOD failing{};
  failing.bytes = failing_random_bytes;
  failing.status = random_status;
  const RAND_METHOD* previous = RAND_get_rand_method();
  ASSERT_EQ(RAND_set_rand_method(&failing), 1);
  EXPECT_THROW(service.vault("secret", 1, ""), CryptoError);
  RAND_set_rand_method(previous);
  EXPECT_EQ(service.unvault(service.vault("secret", 1, ""), 1, ""), "secret");
}

}  // namespace
}  // namespace vesk
