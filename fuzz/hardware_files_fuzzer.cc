// The cpuinfo and sysfs serial readers on any file content.

#include <cstdint>
#include <sstream>

#include "fuzz/fuzz_support.h"
#include "security/hardware_identity.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vesk;
  const std::string content = fuzzing::as_text(data, size);

  std::istringstream cpuinfo(content);
  const std::string cpu_serial = read_cpu_serial(cpuinfo);
  if (cpu_serial != kUnknownCpuSerial) {
    fuzzing::require(cpu_serial.find('\n') == std::string::npos, "serial spans lines");
    fuzzing::require(content.find("Serial") != std::string::npos, "serial without its line");
    fuzzing::require(content.find(cpu_serial) != std::string::npos, "serial not from the file");
  }

  std::istringstream serial_file(content);
  const std::string device_serial = read_device_serial(serial_file);
  fuzzing::require(!device_serial.empty(), "empty device serial");
  if (device_serial != kMissingDeviceSerial) {
    fuzzing::require(device_serial.find_first_of(" \t\n\v\f\r") == std::string::npos,
                     "device serial holds whitespace");
    fuzzing::require(content.find(device_serial) != std::string::npos, "device serial not from the file");
  }
  return 0;
}
