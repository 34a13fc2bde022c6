#include "security/security_service.h"

#include <sys/mman.h>

#include <utility>

namespace vesk {

SecurityService::SecurityService(std::string shadow_keys_file, SecureBytes key,
                                 HardwarePaths hardware_paths)
    : shadow_keys_path(std::move(shadow_keys_file)),
      base_key(std::move(key)),
      hardware(std::move(hardware_paths)) {
  // The base key lives as long as the program: its page is kept out of
  // swap for that long (best effort: a refused lock leaves it as it was).
  // The tier keys live for one request; locking each would cost two calls.
  (void)mlock(base_key.data(), base_key.size());
}

}  // namespace vesk
