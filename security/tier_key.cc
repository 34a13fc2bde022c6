#include <openssl/sha.h>

#include "security/algorithms.h"
#include "security/security_service.h"

namespace vesk {

SecureBytes SecurityService::derive_tiered_key(int tier, const std::string& extra) const {
  // The parts are joined with no separator or length field: the recipe is
  // fixed by the blobs already stored on devices.
  const std::string_view base(reinterpret_cast<const char*>(base_key.data()), base_key.size());
  SecureBytes key(SHA256_DIGEST_LENGTH, 0);
  switch (tier) {
    case 1:
      sha256({base}, key.data());
      break;
    case 2:
      sha256({base, cpu_serial_for_key().view()}, key.data());
      break;
    case 3: {
      const Secret cpu = cpu_serial_for_key();
      const std::optional<Secret> usb = get_hw_serial(kUsbDevice);
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
