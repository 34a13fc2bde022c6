#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "security/expected.h"
#include "security/hardware_identity.h"
#include "security/secret.h"
#include "security/secure_memory.h"

namespace vesk {

// Why a blob gave no value.
enum class UnvaultError {
  kTooShort,       // three characters or fewer
  kUndecodable,    // the body does not decode to at least 16 bytes (the IV)
  kDoesNotDecrypt  // no ciphertext, not whole blocks, or the padding is
                   // rejected: a wrong key or a damaged blob
};

// The security state each program builds once in main: the base key the
// tier keys are derived from, and the device's identity probes. Holds no
// other state; every operation reads the hardware afresh.
class SecurityService {
 public:
  SecurityService(std::string shadow_keys_file, SecureBytes key, HardwarePaths hardware_paths = {});
  SecurityService(const SecurityService&) = delete;
  SecurityService& operator=(const SecurityService&) = delete;
  ~SecurityService() = default;

  // The CPU serial of the device: `read` false when its cpuinfo cannot be
  // opened or read to its end, no `serial` when it names none.
  SerialProbe get_cpu_serial() const;

  // The serial of block device `device` (a name under the sysfs block
  // directory, not validated), or none when no drive shows one there.
  std::optional<Secret> get_hw_serial(const std::string& device) const;

  // The 32-byte key of `tier`: SHA-256 over base key (tier 1), base key and
  // CPU serial (tier 2), CPU serial, serial of kUsbDevice and `extra` (tier 3), or
  // "UNKNOWN_CPU" and "MISSING" for a serial there is none of, or
  // the empty input (any other tier). Throws CryptoError when SHA-256 does,
  // and DeviceIdentityError for tiers 2 and 3 when the CPU serial cannot be
  // read: no key is ever derived from a serial that was not read.
  SecureBytes derive_tiered_key(int tier, const std::string& extra) const;

  // Encrypts `value` under the tier key with a fresh IV and returns the blob
  // "v<tier>:" + URL-safe Base64(IV || AES-256-CBC ciphertext).
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

  // Carried for the installation's layout; no operation opens it.
  const std::string shadow_keys_path;
  const SecureBytes base_key;

 private:
  // get_cpu_serial's text, or DeviceIdentityError.
  Secret cpu_serial_for_key() const;

  const HardwarePaths hardware;
};

}  // namespace vesk
