#pragma once

#include <string>
#include <string_view>

#include "security/expected.h"
#include "security/secret.h"
#include "security/tier_keys.h"

namespace vesk {

// Why a blob gave no value.
enum class UnvaultError {
  kTooShort,       // three characters or fewer
  kUndecodable,    // the body does not decode to at least 16 bytes (the IV)
  kDoesNotDecrypt  // no ciphertext, not whole blocks, or the padding is
                   // rejected: a wrong key or a damaged blob
};

// Makes and opens vault blobs: "v<tier>:" + URL-safe Base64(IV ||
// AES-256-CBC ciphertext) under the tier's key.
class BlobCipher {
 public:
  // `keys` must outlive the cipher.
  explicit BlobCipher(const TierKeys& keys) : keys_(keys) {}

  // Encrypts `value` under the tier key with a fresh IV and returns its blob.
  // Throws CryptoError when the random generator or a cipher step fails,
  // DeviceIdentityError when the tier key cannot be derived; no blob is ever
  // made from a failed step.
  std::string vault(std::string_view value, int tier, const std::string& extra) const;

  // Decrypts a blob under the key of `tier` (the prefix is not read): its
  // value, or which of the UnvaultErrors it is; never the bytes of a failed
  // decryption. Throws DeviceIdentityError when the tier key cannot be
  // derived (no key is tried then), and CryptoError when the cipher cannot
  // be set up.
  Expected<Secret, UnvaultError> unvault(std::string_view blob, int tier,
                                         const std::string& extra) const;

 private:
  const TierKeys& keys_;
};

}  // namespace vesk
