// Whole operations of the three programs, with every block they give back
// to the heap searched for the secrets they handled: a password (long
// enough that a std::string would keep it on the heap), typed once as the
// PIN too, the CPU serial and the tier-2 key made from it. A program of its
// own: it replaces the global new and delete.

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>

#include "console/admin_tool.h"
#include "daemon/request_protocol.h"
#include "fake_machine.h"
#include "security/base_key.h"
#include "vaultcheck/checks.h"

namespace {

const std::string kPassword = "Pw-7e1f0c-9a4b2d8";
const std::string kCpuSerial = "00000000c0ffee42";
std::vector<std::string> secrets;  // filled before watching starts
bool watching = false;
int blocks_with_a_secret = 0;

void release(void* block) noexcept {
  if (watching && block != nullptr) {
    watching = false;  // the search itself allocates nothing; stay safe anyway
    for (const std::string& secret : secrets) {
      if (memmem(block, malloc_usable_size(block), secret.data(), secret.size()) != nullptr) {
        ++blocks_with_a_secret;
      }
    }
    watching = true;
  }
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { release(block); }
void operator delete(void* block, std::size_t /*size*/) noexcept { release(block); }

namespace vesk {
namespace {

TEST(Wiping, NoSecretInFreedMemoryAfterWholeOperations) {
  const TempFolder device;
  const std::string config = "[PASSES]\nadmin_pass = \"" + kPassword + "\"\n" +
                             "sql_pass = " + kPassword + " # twice\nadmin_pass = " + kPassword +
                             "\n" + std::string(100, '#') + "\nallow_remote_updates = true\n";
  device.write("installation.toml", config);
  device.write("usb/installation.toml", config);
  device.write("cpuinfo", "processor\t: 0\nSerial\t\t: " + kCpuSerial + "\n");
  device.write("sda/device/serial", "USB-KEY-1\n");
  const std::string config_path = device.path / "installation.toml";
  const DevicePaths paths{.hardware = {device.path / "cpuinfo", device.path.string() + "/"},
                          .usb_config = device.path / "usb/installation.toml"};
  const SecurityService service(base_key_bytes(), paths.hardware);
  const SecureBytes key = service.keys.derive(2, "");
  secrets = {kPassword, kCpuSerial, std::string(key.begin(), key.end())};
  FakeMachine machine;
  std::ostringstream output;
  std::istringstream stages("1\n2\n0\n");
  // The update scans the configuration for its remote-updates setting.
  std::istringstream update_and_restore("7\npackage signature\n6\n" + kPassword + "\n0\n");
  const Unvaulter unvault = [&service](std::string_view blob, int tier) {
    return service.cipher.unvault(blob, tier, "");
  };
  machine.daemon = [&unvault](const std::string& request) {
    return DaemonReply{Exchange::kAnswered, *reply_to_request(request, unvault)};
  };
  const Probes probes{.service = service, .machine = machine};
  std::vector<Check> checks;

  watching = true;
  AdminTool(service, config_path, ConsoleIo{stages, output, output}, machine, paths).run();
  checks = run_checks(config_path, "vesk.sock", probes);
  const std::vector<Check> with_the_key = run_checks(config_path, std::nullopt, probes);
  checks.insert(checks.end(), with_the_key.begin(), with_the_key.end());
  machine.sealed = true;
  AdminTool(service, config_path, ConsoleIo{update_and_restore, output, output}, machine, paths)
      .run();
  watching = false;

  EXPECT_EQ(blocks_with_a_secret, 0);
  // Nor does any check's detail show one.
  for (const Check& check : checks) {
    for (const std::string& secret : {kPassword, kCpuSerial, std::string("USB-KEY-1")}) {
      EXPECT_EQ(check.detail.find(secret), std::string::npos) << check.detail;
    }
  }
  // The operations did their work: six tier-2 blobs that open, and a restore.
  int opened = 0;
  for (const Check& check : checks) opened += check.detail.find("tier-2 blob, ") == 0 ? 1 : 0;
  EXPECT_EQ(opened, 6) << output.str();
  EXPECT_NE(output.str().find("Remote Updates Allowed: \x1b[01;32mYES"), std::string::npos);
  EXPECT_NE(output.str().find("[+] Restore Successful."), std::string::npos);
}

}  // namespace
}  // namespace vesk
