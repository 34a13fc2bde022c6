#include "security/security_service.h"

#include <utility>

namespace vesk {

SecurityService::SecurityService(std::string shadow_keys_file, SecureBytes key,
                                 HardwarePaths hardware_paths)
    : shadow_keys_path(std::move(shadow_keys_file)),
      base_key(std::move(key)),
      hardware(std::move(hardware_paths)) {}

}  // namespace vesk
