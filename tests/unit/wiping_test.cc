// Whole operations of the three programs, with every block they give back
// to the heap searched for the secrets they handled: a password (long
// enough that a std::string would keep it on the heap), typed once as the
// PIN too, the CPU serial and the tier-2 key made from it. A program of its
// own: it replaces the global new and delete.

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>

#include "daemon/request_protocol.h"
#include "installation.h"
#include "vaultcheck/checks.h"

namespace {

const std::string kPassword = "Pw-7e1f0c-9a4b2d8";
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
  const std::string config = "[PASSES]\nadmin_pass = \"" + kPassword +
                             "\"\nsql_pass = " + kPassword + " # twice\nadmin_pass = " + kPassword +
                             "\n" + std::string(100, '#') + "\nallow_remote_updates = true\n";
  Installation device(config);
  device.write("usb/installation.toml", config);
  const SecurityService service(base_key_bytes(), device.paths.hardware);
  const SecureBytes key = service.keys.derive(2, "");
  secrets = {kPassword, "00000000c0ffee01", std::string(key.begin(), key.end())};
  const Unvaulter unvault = [&service](std::string_view blob, int tier) {
    return service.cipher.unvault(blob, tier, "");
  };
  device.machine.daemon = [&unvault](const std::string& request) {
    return DaemonReply{Exchange::kAnswered, *reply_to_request(request, unvault)};
  };
  const Probes probes{.service = service, .machine = device.machine};
  const std::string config_path = device.path / "installation.toml";
  std::istringstream pin("6\n" + kPassword + "\n0\n");  // the harness's copy, freed after

  watching = true;
  (void)device.console("1\n2\n0\n");
  std::vector<Check> checks = run_checks(config_path, "vesk.sock", probes);
  const std::vector<Check> with_the_key = run_checks(config_path, std::nullopt, probes);
  device.machine.sealed = true;
  const std::string restored = device.console(pin)[0];
  watching = false;

  EXPECT_EQ(blocks_with_a_secret, 0);
  // The operations did their work: six tier-2 blobs that open, and a restore.
  checks.insert(checks.end(), with_the_key.begin(), with_the_key.end());
  EXPECT_EQ(
      std::count_if(checks.begin(), checks.end(),
                    [](const Check& check) { return check.detail.starts_with("tier-2 blob, "); }),
      6);
  EXPECT_NE(restored.find("[+] Restore Successful."), std::string::npos);
}

}  // namespace
}  // namespace vesk
