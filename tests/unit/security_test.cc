// The security library: hardware identity, tier keys and vault blobs, as
// tables of known answers. The expected keys are SHA-256 digests computed
// with sha256sum over the byte strings named in each row; the blobs were
// made with the openssl command line under fixed IVs, so unvault reads what
// openssl writes, and vault's round trips then tie vault to the same format.

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <array>
#include <regex>

#include "daemon/request_protocol.h"
#include "fake_machine.h"
#include "security/blob_format.h"
#include "security/errors.h"

namespace vesk {
namespace {

std::string hex(const SecureBytes& bytes) {
  std::array<char, 65> text{};
  OPENSSL_buf2hexstr_ex(text.data(), text.size(), nullptr, bytes.data(), bytes.size(), '\0');
  return text.data();
}

const std::string kSerialLine = "Serial\t\t: 00000000deadbeef\n";

// "-" stands for no serial.
TEST(HardwareIdentity, CpuSerialRules) {
  for (const auto& [file, expected] :
       {std::pair<std::string, std::string>{"Hardware\t: BCM2835\nSerial Number : ABC\n", "ABC"},
        {"Serial\t: value  \t\r\nSerial\t: second\n", "value  \t\r"},
        // Only "Serialx" matches, and has no colon.
        {"serial\t: lower\n Serial\t: indented\nSerialx", ""},
        {"Serial:", ""},
        {"processor\t: 0\n", "-"}}) {
    EXPECT_EQ(read_cpu_serial(file).value_or(Secret("-")).view(), expected) << file;
  }
  // The text that stands for no drive is no drive, whoever shows it.
  for (const auto& [file, expected] :
       {std::pair<const char*, const char*>{"  first second\n", "first"},
        {"", "-"},
        {" \n\t", "-"},
        {"MISSING\n", "-"},
        {"MISSINGx", "MISSINGx"}}) {
    EXPECT_EQ(read_device_serial(file).value_or(Secret("-")).view(), expected) << file;
  }
}

TEST(TierKey, KnownAnswers) {
  const struct {
    std::string serial_line, usb, extra;
    int tier;
    std::string expected;
  } rows[] = {
      {"", "USB123", "ctx", 1, "EF4DF1FB92206BBBC148BA4304B6DB36670AE98D4CC46227B9288286BD0F3BB4"},
      {"", "", "", 2, "D5FB235C364D17D2C77D0C4AFE5EE43AB0CE3EAAF87DA8CB575C64395D29EEA8"},
      // 00000000deadbeefUSB123
      {kSerialLine, "USB123", "", 3,
       "2660E353F6A3D21D6E9B4A72336B8ED778E23A25CFC2708D7AC2FA66D4EB62F5"},
      {kSerialLine, "", "", 3, "22BF6EBD1DA0ED18B8FE71E4E5BF49D71E935B142BAFF4905C617388BF0EE26C"},
      {kSerialLine, "", "x", 0,
       "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"}};
  for (const auto& row : rows) {
    const FakeDevice device(row.serial_line, row.usb);
    EXPECT_EQ(hex(device.service().keys.derive(row.tier, row.extra)), row.expected);
  }
}

// Made with openssl enc under the keys of kSerialLine's device.
const std::string kTier1Blob = "v1:AAECAwQFBgcICQoLDA0OD664kzSMRj2X5tfdsZRK59E=";  // s3cret-pass
const std::string kTier2Blob =                                                     // 16 bytes
    "v2:Dw4NDAsKCQgHBgUEAwIBAOSbIPeSx1BxelcEgG0pOOE5Y_5dAykm5cTP8p7uaZ0j";

// What unvault gives, as "=<value>" or the protocol's word for its error.
std::string opened(const SecurityService& service, const std::string& blob, int tier) {
  const Expected<Secret, UnvaultError> value = service.cipher.unvault(blob, tier, "");
  return value ? "=" + std::string((*value).view()) : unvault_error_reply(value.error());
}

// What unvault gives for a blob, and whether the blob counts as one of the
// tier as the writer makes it.
TEST(VaultBlob, KnownBlobsWrongKeysAndMalformedBlobs) {
  const FakeDevice device(kSerialLine);
  const SecurityService service = device.service();
  const std::string body = kTier1Blob.substr(3);
  const struct {
    std::string blob;
    int tier;
    std::string opened;
    bool well_formed = false;
  } rows[] = {
      {kTier1Blob, 1, "=s3cret-pass", true},
      {kTier2Blob, 2, "=db-pass/16bytes!", true},
      // For these fixed blobs the wrong key's padding check fails, always.
      {kTier1Blob, 2, "ERR:DECRYPT_FAIL"},
      {kTier2Blob, 1, "ERR:DECRYPT_FAIL"},
      {"", 1, "ERR_BLOB_SHORT"},
      {"v1:", 1, "ERR_BLOB_SHORT"},
      {"v1:AAAAAAAAAAAAAAAAAAAA", 1, "ERR_DECODE_FAIL"},
      {"v1:!!!! not base64", 1, "ERR_DECODE_FAIL"},
      {"v1:AAAAAAAAAAAAAAAAAAAAAA==", 1, "ERR:DECRYPT_FAIL"},        // IV only
      {"v1:" + std::string(54, 'A') + "==", 1, "ERR:DECRYPT_FAIL"},  // not whole blocks
      {"v1:" + body + "AAAA", 1, "ERR:DECRYPT_FAIL"},                // a block too many
      {std::regex_replace(kTier2Blob, std::regex("_"), "/"), 2, "=db-pass/16bytes!"},
      {"v1:" + std::string(65, 'A') + "===", 1, "ERR:DECRYPT_FAIL"},  // "===" padding
  };
  for (const auto& row : rows) {
    EXPECT_EQ(opened(service, row.blob, row.tier), row.opened) << row.blob;
    EXPECT_EQ(is_well_formed_blob(row.blob, row.tier), row.well_formed) << row.blob;
  }
}

TEST(VaultBlob, RoundTripsAndShape) {
  const FakeDevice device(kSerialLine);
  const SecurityService service = device.service();
  for (const std::size_t length : {0U, 1U, 15U, 16U, 17U, 31U, 32U, 47U, 300U}) {
    const std::string value = std::string(length, 'k').replace(0, length / 2, length / 2, '\0');
    const std::string blob = service.cipher.vault(value, 2, "");
    const std::size_t payload = 16 + 16 * (length / 16 + 1);
    EXPECT_EQ(blob.size(), 3 + 4 * ((payload + 2) / 3)) << length;
    EXPECT_TRUE(is_well_formed_blob(blob, 2)) << blob;
    EXPECT_EQ(opened(service, blob, 2), "=" + value) << length;
  }
  EXPECT_NE(service.cipher.vault("same", 1, ""), service.cipher.vault("same", 1, ""));
  // A random generator that fails: no blob at all.
  const FailingRandom no_random;
  EXPECT_THROW(service.cipher.vault("x", 1, ""), CryptoError);
}

}  // namespace
}  // namespace vesk
