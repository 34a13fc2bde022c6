// The road of the passwords on one simulated appliance: provisioned,
// localized and sealed by keywarden, read back through vaultd, then a
// sealed edit, a restore from USB and a signed update on the same device.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/console/console_harness.h"
#include "tests/support/ci.h"
#include "tests/support/openssl_cli.h"
#include "tests/support/shell.h"
#include "tests/system/simulated_device.h"

namespace vesk::testing {
namespace {

namespace fs = std::filesystem;

const std::string kCpuSerial = "00000000c0ffee01";
const std::vector<std::pair<std::string, std::string>> kPasswords = {
    {"admin_pass", "Adm1n!2024"},
    {"frp_pass", "tunnel secret"},
    {"smtp_pass1", "mail#one"},
    {"smtp_pass2", "mail-two"},
    {"sql_pass", "Dev2024!v2"}};

const std::string kSampleInstallation =
    "# Tarvemill installation\n"
    "[GENERAL]\n"
    "site = \"north-7\"\n"
    "\n"
    "[PASSES]\n"
    "admin_pass = \"Adm1n!2024\"\n"
    "frp_pass = \"tunnel secret\"  # reverse tunnel\n"
    "smtp_pass1 = \"mail#one\"\n"
    "smtp_pass2 = mail-two\n"
    "sql_pass = \"Dev2024!v2\"\n";

const std::vector<std::string> kAllKeys = {"admin_pass", "frp_pass", "smtp_pass1", "smtp_pass2",
                                           "sql_pass"};

const std::string kSealing = "[*] Sealing System (Immutable Mode)...\n"
                             "[*] Locking System Files (Immutable)...\n" +
                             GREEN + "[+] System SEALED (Stage 3)." + RESET + "\n";

class Road : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SimulatedDevice::available()) VESK_SKIP_UNLESS_CI("cannot make a private mount namespace (needs root)");
    device = std::make_unique<SimulatedDevice>(kCpuSerial);
  }

  std::unique_ptr<SimulatedDevice> device;
};

TEST_F(Road, PasswordsTravelFromPlainFileToDaemonAndTheSealHolds) {
  const fs::path config = device->install_file("installation.toml");
  write_file(config, kSampleInstallation);

  // Stages 1, 2 and 3 in one session.
  const ProgramResult staged = device->run_keywarden("1\n2\n3\nq\n");
  EXPECT_EQ(staged.exit_status, 0);
  EXPECT_EQ(staged.err, "");
  EXPECT_EQ(staged.out, menu_text(false) + policy_output(1, kAllKeys) + menu_text(false) +
                            policy_output(2, kAllKeys) + menu_text(false) + policy_output(2, {}) +
                            kSealing + menu_text(true));

  // Sealed: mode 444, the three files immutable, every password vaulted at
  // tier 2 and readable with the openssl command line and sha256sum alone.
  struct stat status {};
  ASSERT_EQ(stat(config.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0444u);
  for (const char* name : {"installation.toml", "keywarden", "tarvemill_run"}) {
    EXPECT_TRUE(is_immutable(device->install_file(name))) << name;
  }
  const std::string sealed_file = read_file(config);
  EXPECT_EQ(sealed_file.find("Adm1n"), std::string::npos);
  EXPECT_NE(sealed_file.find("\" # reverse tunnel\n"), std::string::npos);
  ScopedTempDir scratch;
  const std::string key_hex = tier2_key_hex_by_shell(kCpuSerial);
  for (const auto& [key, value] : kPasswords) {
    const std::string blob = blob_of(sealed_file, key);
    EXPECT_TRUE(blob.starts_with("v2:")) << key;
    EXPECT_EQ(decrypt_with_openssl_cli(blob, key_hex, scratch), value) << key;
  }

  // The daemon hands every password to a client at uid 1000 and nothing to
  // a client at another uid.
  {
    DaemonProcess daemon = device->start_vaultd();
    ASSERT_EQ(daemon.first_line(), "[+] VESK Security Daemon Listening on /var/run/vesk_sec.sock\n");
    struct stat socket_status {};
    ASSERT_EQ(stat("/var/run/vesk_sec.sock", &socket_status), 0);
    EXPECT_EQ(socket_status.st_mode & 0777, 0660u);
    EXPECT_EQ(ask_vaultd("PING:", 1000), "PONG");
    for (const auto& [key, value] : kPasswords) {
      EXPECT_EQ(ask_vaultd("UNVAULT:" + blob_of(sealed_file, key), 1000), value) << key;
    }
    EXPECT_EQ(ask_vaultd("UNVAULT:" + blob_of(sealed_file, "admin_pass"), 1001), "");
    EXPECT_EQ(daemon.stop(), 0);
  }

  // A sealed edit: authenticated by the USB drive and a PIN, relocked after.
  device->plug_usb("4C530001");
  const ProgramResult edited = device->run_keywarden("4\n2468\nq\n");
  EXPECT_EQ(edited.out, menu_text(true) + kAccessGranted + "[*] Unlocking System Files (Mutable)...\n" +
                            GREEN + "[+] Launching Nano..." + RESET + "\n" +
                            "[*] Re-sealing configuration file...\n" +
                            "[*] Locking System Files (Immutable)...\n" + menu_text(true));
  EXPECT_EQ(device->editor_log(), "nano installation.toml\n");
  EXPECT_EQ(read_file(config), sealed_file + "# edited on the device\n");
  ASSERT_EQ(stat(config.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0444u);
  EXPECT_TRUE(is_immutable(config));

  // A restore from the USB drive leaves the installation open.
  const std::string backup = "[PASSES]\nadmin_pass = \"restored\"\n[UPDATES]\nallow_remote_updates = true\n";
  write_file("/mnt/usb/installation.toml", backup);
  const ProgramResult restored = device->run_keywarden("6\n2468\nq\n");
  EXPECT_EQ(restored.out,
            menu_text(true) + CYAN + "\n--- DISASTER RECOVERY ---" + RESET + "\n" +
                "This will overwrite the current configuration with the one from USB.\n" + YELLOW +
                "[!] System is Sealed. Auth required to overwrite." + RESET + "\n" + kAccessGranted +
                "[*] Unlocking System Files (Mutable)...\n[*] Restoring Configuration...\n" + GREEN +
                "[+] Restore Successful." + RESET + "\n" +
                "[*] You should now review settings (Option 4) or Seal (Option 3).\n" + menu_text(false));
  EXPECT_EQ(read_file(config), backup);
  EXPECT_FALSE(is_immutable(config));

  // Sealed again, a signed package replaces the application binary.
  ASSERT_EQ(run_shell("cd " + scratch.path().string() +
                      " && mkdir pkg && printf '#!/bin/sh\\necho tarvemill 2.0\\n' > pkg/tarvemill_run"
                      " && tar -czf update.tar.gz -C pkg tarvemill_run"
                      " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out key.pem"
                      " 2>/dev/null && openssl pkey -in key.pem -pubout -out " +
                      device->install_file("public_key.pem").string() +
                      " && openssl dgst -sha256 -sign key.pem -out update.sig update.tar.gz")
                .exit_status,
            0);
  const std::string package = scratch.file("update.tar.gz");
  const ProgramResult updated =
      device->run_keywarden("3\n7\n" + package + "\n" + scratch.file("update.sig") + "\nq\n");
  EXPECT_EQ(updated.exit_status, 0);
  EXPECT_TRUE(updated.out.ends_with(
      menu_text(true) + CYAN + "\n--- PRODUCTION SYSTEM UPDATE ---" + RESET + "\n" +
      "Remote Updates Allowed: " + GREEN + "YES" + RESET + "\n" +
      "Enter Package Path (.tar.gz): Enter Signature Path (.sig): " +
      "[*] Verifying Digital Signature...\n" + GREEN + "[+] Signature VERIFIED. Package Trusted." +
      RESET + "\n" + "[*] Unlocking Application Binary ONLY...\n[*] Applying Update...\n" + GREEN +
      "[+] Update Successful." + RESET + "\n" + menu_text(true)))
      << updated.out;
  EXPECT_EQ(read_file(device->install_file("tarvemill_run")), "#!/bin/sh\necho tarvemill 2.0\n");
  EXPECT_TRUE(is_immutable(device->install_file("tarvemill_run")));
  EXPECT_TRUE(is_immutable(config));
}

}  // namespace
}  // namespace vesk::testing
