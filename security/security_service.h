#pragma once

#include <utility>

#include "security/blob_cipher.h"
#include "security/hardware_identity.h"
#include "security/secure_memory.h"
#include "security/tier_keys.h"

namespace vesk {

// The security state each program builds once in main: the device's
// identity probes, the tier keys made from the base key and that identity,
// and the blob cipher under those keys. Holds no other state; every
// operation reads the hardware afresh.
struct SecurityService {
  SecurityService(SecureBytes base_key, HardwarePaths hardware_paths)
      : identity(std::move(hardware_paths)), keys(std::move(base_key), identity), cipher(keys) {}
  SecurityService(const SecurityService&) = delete;
  SecurityService& operator=(const SecurityService&) = delete;
  ~SecurityService() = default;

  const HardwareIdentity identity;
  const TierKeys keys;
  const BlobCipher cipher;
};

}  // namespace vesk
