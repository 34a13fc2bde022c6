#pragma once

#include <stdexcept>
#include <string>

namespace vesk {

// A cryptographic step failed (random generator, cipher set-up or step).
// Carries the OpenSSL error queue, which is drained when it is built.
class CryptoError : public std::runtime_error {
 public:
  explicit CryptoError(const std::string& what);
};

// A blob decoded but did not decrypt: wrong key, damaged ciphertext, a
// ciphertext that is not a whole number of blocks, or an IV without any
// ciphertext. Never carries plaintext.
class DecryptionError : public CryptoError {
 public:
  using CryptoError::CryptoError;
};

// Returns the pending OpenSSL errors as one text and empties the queue.
std::string drain_openssl_errors();

}  // namespace vesk
