#include "security/hardware_identity.h"

#include <fstream>
#include <string_view>

#include "security/security_service.h"

namespace vesk {

std::string read_cpu_serial(std::istream& cpuinfo) {
  constexpr std::string_view kSerialLabel = "Serial";
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (!line.starts_with(kSerialLabel)) continue;
    // The kernel writes "Serial<tabs>: <value>"; the colon and the blank
    // after it are skipped. A line too short for that has no value.
    const std::size_t colon = line.find(':');
    const std::size_t value_start = colon == std::string::npos ? line.size() : colon + 2;
    return value_start < line.size() ? line.substr(value_start) : std::string();
  }
  return kUnknownCpuSerial;
}

std::string read_device_serial(std::istream& serial_file) {
  std::string word;
  if (serial_file >> word) return word;
  return kMissingDeviceSerial;
}

std::string SecurityService::get_cpu_serial() const {
  std::ifstream cpuinfo(hardware.cpuinfo);
  return read_cpu_serial(cpuinfo);
}

std::string SecurityService::get_hw_serial(const std::string& device) const {
  std::ifstream serial_file(hardware.sys_block + device + "/device/serial");
  return read_device_serial(serial_file);
}

}  // namespace vesk
