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

// The device's identity, which a tier key is bound to, could not be read
// (its cpuinfo did not open or could not be read to its end). No
// CryptoError: it is no verdict on a blob, and no key is tried.
class DeviceIdentityError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Returns the pending OpenSSL errors as one text and empties the queue.
std::string drain_openssl_errors();

}  // namespace vesk
