#pragma once

#include <optional>
#include <string>

#include "security/hardware_identity.h"
#include "security/security_service.h"
#include "tests/support/temp_dir.h"

namespace vesk::testing {

// A device made of temp files: a cpuinfo file and a sysfs block directory
// in which drive "sda" may or may not present a serial.
class FakeDevice {
 public:
  explicit FakeDevice(const std::string& cpu_serial_line = "Serial\t\t: 00000000deadbeef\n");

  void set_cpuinfo(const std::string& content);
  void plug_usb(const std::string& serial_file_content);
  void unplug_usb();

  HardwarePaths paths() const;
  const ScopedTempDir& dir() const { return dir_; }

 private:
  ScopedTempDir dir_;
};

// A service with the programs' base key reading `device`.
SecurityService make_service(const FakeDevice& device);

// Bytes of a text as a byte vector.
SecureBytes bytes_of(const std::string& text);

// Lower-case hex of `bytes`.
std::string to_hex(const SecureBytes& bytes);

}  // namespace vesk::testing
