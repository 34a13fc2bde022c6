#pragma once

#include <string>

#include "security/hardware_identity.h"

namespace vesk {

// Where the appliance keeps what the programs read, write and talk to. The
// defaults are the device's real locations: each program's main takes them,
// and tests point them at a temp folder.
struct DevicePaths {
  HardwarePaths hardware{.cpuinfo = "/proc/cpuinfo", .sys_block = "/sys/block/"};
  // The production configuration, used when the working directory has none.
  std::string installed_config = "/opt/vesk/installation.toml";
  // Where a mounted USB drive carries its recovery copy of the file.
  std::string usb_config = "/mnt/usb/installation.toml";
  // Where a signed update's package is copied before it is verified: a
  // directory in which only the console can make a private folder.
  std::string scratch_dir = "/var/tmp";
  // vaultd's socket (a link to /run/vesk_sec.sock on the appliance).
  std::string socket = "/var/run/vesk_sec.sock";
};

}  // namespace vesk
