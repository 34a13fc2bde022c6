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

// The device's identity, which a tier key is bound to, could not be read
// (its cpuinfo did not open or could not be read to its end). Deliberately
// no CryptoError: callers that read a CryptoError as "this blob does not
// open" must not read an unreadable device that way.
class DeviceIdentityError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Returns the pending OpenSSL errors as one text and empties the queue.
std::string drain_openssl_errors();

}  // namespace vesk
