#pragma once

#include <string>

#include "security/hardware_identity.h"
#include "security/secure_memory.h"

namespace vesk {

// The keys blobs are made under, derived afresh for every use from the base
// key the programs are built with and the device's identity.
class TierKeys {
 public:
  // `identity` must outlive the keys.
  TierKeys(SecureBytes base_key, const HardwareIdentity& identity);
  TierKeys(const TierKeys&) = delete;
  TierKeys& operator=(const TierKeys&) = delete;
  ~TierKeys() = default;

  // The 32-byte key of `tier`: SHA-256 over base key (tier 1), base key and
  // CPU serial (tier 2), CPU serial, serial of kUsbDevice and `extra` (tier
  // 3), or "UNKNOWN_CPU" and "MISSING" for a serial there is none of, or
  // the empty input (any other tier). Throws CryptoError when SHA-256 does,
  // and DeviceIdentityError for tiers 2 and 3 when the CPU serial cannot be
  // read: no key is ever derived from a serial that was not read.
  SecureBytes derive(int tier, const std::string& extra) const;

 private:
  const SecureBytes base_key_;
  const HardwareIdentity& identity_;
};

}  // namespace vesk
