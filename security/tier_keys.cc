#include "security/tier_keys.h"

#include <openssl/sha.h>
#include <sys/mman.h>

#include <optional>
#include <utility>

#include "security/algorithms.h"

namespace vesk {

TierKeys::TierKeys(SecureBytes base_key, const HardwareIdentity& identity)
    : base_key_(std::move(base_key)), identity_(identity) {
  // The base key lives as long as the program: its page is kept out of
  // swap for that long (best effort: a refused lock leaves it as it was).
  // The tier keys live for one request; locking each would cost two calls.
  (void)mlock(base_key_.data(), base_key_.size());
}

SecureBytes TierKeys::derive(int tier, const std::string& extra) const {
  // The parts are joined with no separator or length field: the recipe is
  // fixed by the blobs already stored on devices.
  const std::string_view base(reinterpret_cast<const char*>(base_key_.data()), base_key_.size());
  SecureBytes key(SHA256_DIGEST_LENGTH, 0);
  switch (tier) {
    case 1:
      sha256({base}, key.data());
      break;
    case 2:
      sha256({base, identity_.cpu_serial_for_key().view()}, key.data());
      break;
    case 3: {
      const Secret cpu = identity_.cpu_serial_for_key();
      const std::optional<Secret> usb = identity_.device_serial(kUsbDevice);
      sha256({cpu.view(), usb ? usb->view() : kMissingDeviceSerial, extra}, key.data());
      break;
    }
    default:
      sha256({}, key.data());
      break;
  }
  return key;
}

}  // namespace vesk
