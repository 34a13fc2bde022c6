// blob_tool: the security library's vault, unvault and tier key on the
// command line, for checks that span two builds of the library (an x86-64
// build and an AArch64 one run under emulation): a blob made by one must be
// read back by the other for the same CPU serial. Test-only; never shipped.
//
//   blob_tool key     <tier> <cpuinfo> <sys_block>   prints the tier key in hex
//   blob_tool vault   <tier> <cpuinfo> <sys_block>   value on stdin -> blob on stdout
//   blob_tool unvault <tier> <cpuinfo> <sys_block>   blob on stdin -> value on stdout
//
// <cpuinfo> is read in place of /proc/cpuinfo; <sys_block> in place of
// /sys/block/ (the drive's serial is <sys_block>sda/device/serial). The
// service holds the programs' base key. Exit status 0 on success, 1 when the
// library throws, 2 on a usage error.

#include <cstddef>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>

#include "security/errors.h"
#include "security/hardware_identity.h"
#include "security/secure_memory.h"
#include "security/security_service.h"

namespace {

int usage() {
  std::cerr << "usage: blob_tool key|vault|unvault <tier> <cpuinfo> <sys_block>\n";
  return 2;
}

std::string read_all_of_stdin() {
  std::string text;
  char chunk[4096];
  while (std::cin.read(chunk, sizeof chunk) || std::cin.gcount() > 0) {
    text.append(chunk, static_cast<std::size_t>(std::cin.gcount()));
  }
  return text;
}

std::string to_hex(const vesk::SecureBytes& bytes) {
  static constexpr std::string_view kDigits = "0123456789abcdef";
  std::string hex;
  for (const unsigned char byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0f];
  }
  return hex;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return usage();
  const std::string_view command = argv[1];
  const std::string tier_text = argv[2];
  if (tier_text.size() != 1 || tier_text[0] < '0' || tier_text[0] > '9') return usage();
  const int tier = tier_text[0] - '0';

  const std::string base_key = "ZEPHYR_KEY";
  const vesk::SecurityService service("/var/lib/tarvemill/.shadow_keys",
                                      vesk::SecureBytes(base_key.begin(), base_key.end()),
                                      vesk::HardwarePaths{.cpuinfo = argv[3], .sys_block = argv[4]});
  try {
    if (command == "key") {
      std::cout << to_hex(service.derive_tiered_key(tier, "")) << '\n';
    } else if (command == "vault") {
      std::cout << service.vault(read_all_of_stdin(), tier, "") << '\n';
    } else if (command == "unvault") {
      std::string blob = read_all_of_stdin();
      // A blob read from a file usually ends in one line break, which is
      // not part of the blob.
      if (!blob.empty() && blob.back() == '\n') blob.pop_back();
      std::cout << service.unvault(blob, tier, "");
    } else {
      return usage();
    }
  } catch (const std::exception& error) {
    std::cerr << "blob_tool: " << error.what() << '\n';
    return 1;
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}
