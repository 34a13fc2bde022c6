#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "security/secret.h"

namespace vesk {

// Where the device publishes its identity. The defaults are the device's
// real locations; tests point them at fake files.
struct HardwarePaths {
  std::string cpuinfo = "/proc/cpuinfo";
  // Prefix of a block device's directory; the device name and
  // "/device/serial" are appended to it verbatim.
  std::string sys_block = "/sys/block/";
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
// none when the text holds no word.
std::optional<Secret> read_device_serial(std::string_view serial_file);

}  // namespace vesk
