#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "security/secret.h"

namespace vesk {

// Where the device publishes its identity (the programs take the real
// locations from DevicePaths).
struct HardwarePaths {
  std::string cpuinfo;
  // Prefix of a block device's directory; the device name and
  // "/device/serial" are appended to it verbatim.
  std::string sys_block;
};

// What the key derivation puts in place of a serial there is none of. They
// enter only the tier keys (and messages that name them): the probes say
// "none" as no value.
inline constexpr const char* kUnknownCpuSerial = "UNKNOWN_CPU";
inline constexpr const char* kMissingDeviceSerial = "MISSING";

// The block device the operator's master USB key shows up as.
inline constexpr const char* kUsbDevice = "sda";

// What a probe of a serial file found: whether the file was read whole, and
// the serial it names, if any.
struct SerialProbe {
  bool read = false;
  std::optional<Secret> serial;
};

// The CPU serial of a cpuinfo text: the rest of the first line (lines end
// at "\n") that starts with "Serial", from the second character after its
// first colon, unchanged. None when no such line exists; the empty text
// when that line has nothing after its colon (or no colon at all).
std::optional<Secret> read_cpu_serial(std::string_view cpuinfo);

// The first whitespace-delimited word of a sysfs serial file's text, or
// none when the text holds no word or that word is kMissingDeviceSerial.
std::optional<Secret> read_device_serial(std::string_view serial_file);

// The device's identity probes. Every probe reads the hardware afresh.
class HardwareIdentity {
 public:
  explicit HardwareIdentity(HardwarePaths paths) : paths_(std::move(paths)) {}

  // The CPU serial of the device: `read` false when its cpuinfo cannot be
  // opened or read to its end, no `serial` when it names none.
  SerialProbe cpu_serial() const;

  // The CPU serial a tier key is made of: kUnknownCpuSerial when cpuinfo
  // names none. Throws DeviceIdentityError when cpuinfo cannot be read: a
  // key bound to "UNKNOWN_CPU" because one read failed would lock a
  // password away under a key the device never derives again.
  Secret cpu_serial_for_key() const;

  // The serial of block device `device` (a name under the sysfs block
  // directory, not validated), or none when no drive shows one there.
  std::optional<Secret> device_serial(const std::string& device) const;

 private:
  HardwarePaths paths_;
};

}  // namespace vesk
