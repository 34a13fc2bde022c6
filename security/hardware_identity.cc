#include "security/hardware_identity.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <fstream>

#include "security/security_service.h"
#include "security/unique_fd.h"

namespace vesk {

std::string read_cpu_serial(std::string_view cpuinfo) {
  constexpr std::string_view kSerialLabel = "Serial";
  while (!cpuinfo.empty()) {
    const std::size_t end = cpuinfo.find('\n');
    const std::string_view line = cpuinfo.substr(0, end);
    cpuinfo.remove_prefix(end == std::string_view::npos ? cpuinfo.size() : end + 1);
    if (!line.starts_with(kSerialLabel)) continue;
    // The kernel writes "Serial<tabs>: <value>"; the colon and the blank
    // after it are skipped. A line too short for that has no value.
    const std::size_t colon = line.find(':');
    const std::size_t value_start = colon == std::string_view::npos ? line.size() : colon + 2;
    return value_start < line.size() ? std::string(line.substr(value_start)) : std::string();
  }
  return kUnknownCpuSerial;
}

std::string read_device_serial(std::istream& serial_file) {
  std::string word;
  if (serial_file >> word) return word;
  return kMissingDeviceSerial;
}

std::string SecurityService::get_cpu_serial() const {
  // vaultd reads this for every tier-2 request, so it costs what the file
  // costs: plain reads, and no copy when one read returns all of it (a
  // read that does not fill the buffer met the end, for a regular file as
  // for /proc; the cpuinfo of a device with a few cores fits).
  const UniqueFd file(open(hardware.cpuinfo.c_str(), O_RDONLY | O_CLOEXEC));
  std::array<char, 4096> chunk;  // NOLINT(cppcoreguidelines-pro-type-member-init): read fills it
  std::string text;
  ssize_t count = 0;
  while (file.valid() && (count = read(file.get(), chunk.data(), chunk.size())) != 0) {
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) break;
    const std::string_view part(chunk.data(), static_cast<std::size_t>(count));
    if (text.empty() && part.size() < chunk.size()) return read_cpu_serial(part);
    text.append(part);
  }
  return read_cpu_serial(text);
}

std::string SecurityService::get_hw_serial(const std::string& device) const {
  std::ifstream serial_file(hardware.sys_block + device + "/device/serial");
  return read_device_serial(serial_file);
}

}  // namespace vesk
