#include "fuzz/fuzz_support.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace vesk::fuzzing {

const SecurityService& fake_device_service() {
  static const SecurityService service = [] {
    std::string dir = (std::filesystem::temp_directory_path() / "vesk-fuzz-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) property_broken("cannot make the fake device");
    std::ofstream(dir + "/cpuinfo") << "processor\t: 0\nSerial\t\t: 00000000c0ffee01\n";
    std::filesystem::create_directories(dir + "/block/sda/device");
    std::ofstream(dir + "/block/sda/device/serial") << "4C530001\n";
    return SecurityService("/var/lib/tarvemill/.shadow_keys",
                           SecureBytes{'Z', 'E', 'P', 'H', 'Y', 'R', '_', 'K', 'E', 'Y'},
                           HardwarePaths{.cpuinfo = dir + "/cpuinfo", .sys_block = dir + "/block/"});
  }();
  return service;
}

}  // namespace vesk::fuzzing
