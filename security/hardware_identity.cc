#include "security/hardware_identity.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>
#include <utility>

#include "security/errors.h"
#include "security/security_service.h"
#include "security/unique_fd.h"

namespace vesk {

namespace {

// `parse` of the whole text of the file at `path`, or nothing read when it
// cannot be opened or read to its end: half a file is no answer. vaultd
// reads the CPU's identity for every tier-2 request, so this costs what the
// file costs: plain reads, and no copy when one read returns all of it (a
// read that does not fill the buffer met the end, for a regular file as for
// /proc and /sys; the cpuinfo of a device with a few cores fits).
SerialProbe parse_file(const std::string& path,
                       std::optional<std::string> (*parse)(std::string_view)) {
  const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return {};
  std::array<char, 4096> chunk;  // NOLINT(cppcoreguidelines-pro-type-member-init): read fills it
  std::string text;
  ssize_t count = 0;
  while ((count = read(file.get(), chunk.data(), chunk.size())) != 0) {
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return {};
    const std::string_view part(chunk.data(), static_cast<std::size_t>(count));
    if (text.empty() && part.size() < chunk.size()) return {true, parse(part)};
    text.append(part);
  }
  return {true, parse(text)};
}

}  // namespace

std::optional<std::string> read_cpu_serial(std::string_view cpuinfo) {
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
  return std::nullopt;
}

std::optional<std::string> read_device_serial(std::string_view serial_file) {
  constexpr std::string_view kBlanks = " \t\n\v\f\r";
  const std::size_t start = serial_file.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) return std::nullopt;
  return std::string(serial_file.substr(start, serial_file.find_first_of(kBlanks, start) - start));
}

SerialProbe SecurityService::get_cpu_serial() const {
  return parse_file(hardware.cpuinfo, read_cpu_serial);
}

std::string SecurityService::cpu_serial_for_key() const {
  SerialProbe probe = get_cpu_serial();
  // A key bound to "UNKNOWN_CPU" because one read failed would lock a
  // password away under a key the device never derives again.
  if (!probe.read) throw DeviceIdentityError("cannot read " + hardware.cpuinfo);
  return std::move(probe.serial).value_or(kUnknownCpuSerial);
}

std::optional<std::string> SecurityService::get_hw_serial(const std::string& device) const {
  // The drive's absence is an ordinary state: an unreadable serial file is
  // no drive.
  return parse_file(hardware.sys_block + device + "/device/serial", read_device_serial).serial;
}

}  // namespace vesk
