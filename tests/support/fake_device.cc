#include "tests/support/fake_device.h"

#include <filesystem>

namespace vesk::testing {

FakeDevice::FakeDevice(const std::string& cpu_serial_line) {
  set_cpuinfo("processor\t: 0\nBogoMIPS\t: 108.00\n" + cpu_serial_line + "Model\t\t: Test board\n");
  std::filesystem::create_directories(dir_.path() / "sys/block");
}

void FakeDevice::set_cpuinfo(const std::string& content) {
  write_file(dir_.path() / "cpuinfo", content);
}

void FakeDevice::plug_usb(const std::string& serial_file_content) {
  write_file(dir_.path() / "sys/block/sda/device/serial", serial_file_content);
}

void FakeDevice::unplug_usb() { std::filesystem::remove_all(dir_.path() / "sys/block/sda"); }

HardwarePaths FakeDevice::paths() const {
  return {.cpuinfo = dir_.file("cpuinfo"), .sys_block = dir_.file("sys/block") + "/"};
}

SecurityService make_service(const FakeDevice& device) {
  return SecurityService("/var/lib/tarvemill/.shadow_keys", bytes_of("ZEPHYR_KEY"), device.paths());
}

SecureBytes bytes_of(const std::string& text) { return SecureBytes(text.begin(), text.end()); }

std::string to_hex(const SecureBytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0f];
  }
  return hex;
}

}  // namespace vesk::testing
