#include "security/hardware_identity.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "security/errors.h"
#include "security/read_all.h"
#include "security/unique_fd.h"

namespace vesk {

namespace {

// `parse` of the whole text of the file at `path`, or nothing read when it
// cannot be opened or read to its end: half a file is no answer. vaultd
// reads the CPU's identity for every tier-2 request, so this costs what the
// file costs: a read that does not fill the room met the end, for /proc and
// /sys as for a regular file. The text names the serial a key is made of:
// a Secret.
SerialProbe parse_file(const std::string& path, std::optional<Secret> (*parse)(std::string_view)) {
  const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  Secret text;
  if (!file.valid() || read_all(file.get(), text, ReadEnd::kShortRead) != 0) return {};
  return {true, parse(text.view())};
}

}  // namespace

std::optional<Secret> read_cpu_serial(std::string_view cpuinfo) {
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
    return Secret(line.substr(std::min(value_start, line.size())));
  }
  return std::nullopt;
}

std::optional<Secret> read_device_serial(std::string_view serial_file) {
  constexpr std::string_view kBlanks = " \t\n\v\f\r";
  const std::size_t start = serial_file.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) return std::nullopt;
  const std::string_view word =
      serial_file.substr(start, serial_file.find_first_of(kBlanks, start) - start);
  // The text that stands for no drive means no drive, wherever it comes
  // from: a drive showing it is told apart from none by nothing else.
  if (word == kMissingDeviceSerial) return std::nullopt;
  return Secret(word);
}

SerialProbe HardwareIdentity::cpu_serial() const {
  return parse_file(paths_.cpuinfo, read_cpu_serial);
}

Secret HardwareIdentity::cpu_serial_for_key() const {
  SerialProbe probe = cpu_serial();
  if (!probe.read) throw DeviceIdentityError("cannot read " + paths_.cpuinfo);
  return probe.serial ? std::move(*probe.serial) : Secret(kUnknownCpuSerial);
}

std::optional<Secret> HardwareIdentity::device_serial(const std::string& device) const {
  // The drive's absence is an ordinary state: an unreadable serial file is
  // no drive.
  return parse_file(paths_.sys_block + device + "/device/serial", read_device_serial).serial;
}

}  // namespace vesk
