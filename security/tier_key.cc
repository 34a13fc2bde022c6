#include <openssl/sha.h>

#include "security/security_service.h"

namespace vesk {

namespace {

void append(SecureBytes& input, const std::string& text) {
  input.insert(input.end(), text.begin(), text.end());
}

}  // namespace

SecureBytes SecurityService::derive_tiered_key(int tier, const std::string& extra) const {
  // The parts are joined with no separator or length field: the recipe is
  // fixed by the blobs already stored on devices.
  SecureBytes input;
  switch (tier) {
    case 1:
      input = base_key;
      break;
    case 2:
      input = base_key;
      append(input, get_cpu_serial());
      break;
    case 3:
      append(input, get_cpu_serial());
      append(input, get_hw_serial("sda"));
      append(input, extra);
      break;
    default:
      break;
  }
  SecureBytes key(SHA256_DIGEST_LENGTH, 0);
  SHA256(input.data(), input.size(), key.data());
  return key;
}

}  // namespace vesk
