#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "tests/daemon/daemon_harness.h"
#include "tests/support/shell.h"

namespace vesk {
namespace {

using testing::ChildProcess;

// vaultd binds its fixed path under /var/run (a link to /run); in a mount
// namespace of its own with a fresh tmpfs on /run it cannot disturb the
// machine, and the test reaches the socket through /proc/<pid>/root.
std::function<int()> vaultd_in_private_run(const std::string& mount_options) {
  return [mount_options] {
    const std::string script = "mount -t tmpfs -o " + mount_options + " tmpfs /run && exec \"$0\"";
    execl("/usr/bin/unshare", "unshare", "-m", "sh", "-c", script.c_str(), VAULTD_PATH, nullptr);
    return 127;
  };
}

bool mount_namespaces_available() { return testing::run_shell("unshare -m true").exit_status == 0; }

TEST(Vaultd, ServesItsFixedSocketAndStopsCleanlyOnSigterm) {
  if (!mount_namespaces_available()) GTEST_SKIP() << "no mount namespaces for a private /run";
  ChildProcess vaultd(vaultd_in_private_run("mode=755"));
  vaultd.wait_for_output();
  EXPECT_EQ(vaultd.out(), "[+] VESK Security Daemon Listening on /var/run/vesk_sec.sock\n");

  const std::string socket = "/proc/" + std::to_string(vaultd.pid()) + "/root/run/vesk_sec.sock";
  EXPECT_EQ(testing::ask(socket, "PING:"), "PONG");
  // Tier 1 needs only the base key, so this checks the key the program holds.
  const testing::FakeDevice any_device;
  const std::string blob = testing::blob_from_openssl_cli(any_device, 1, "tarvemill-db-pass");
  EXPECT_EQ(testing::ask(socket, "UNVAULT:" + blob), "tarvemill-db-pass");

  ASSERT_EQ(kill(vaultd.pid(), SIGTERM), 0);
  EXPECT_EQ(vaultd.exit_code(), 0);
  EXPECT_EQ(vaultd.err(), "");
}

TEST(Vaultd, ExitsWithStatus1WhenItCannotBind) {
  if (!mount_namespaces_available()) GTEST_SKIP() << "no mount namespaces for a private /run";
  ChildProcess vaultd(vaultd_in_private_run("ro"));
  EXPECT_EQ(vaultd.exit_code(), 1);
  EXPECT_EQ(vaultd.err(), "[-] Bind failed\n");
  EXPECT_EQ(vaultd.out(), "");
}

}  // namespace
}  // namespace vesk
