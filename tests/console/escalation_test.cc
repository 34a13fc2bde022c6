#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/console/console_harness.h"
#include "tests/support/ci.h"
#include "tests/support/immutable_guard.h"
#include "tests/support/openssl_cli.h"

namespace vesk::testing {
namespace {

const std::string kInstallation =
    "# Tarvemill installation\n"
    "[GENERAL]\n"
    "site = \"north\"\n"
    "\n"
    "[PASSES]\n"
    "admin_pass = \"Adm1n!\"\n"
    "frp_pass = frp-secret   # tunnel\n"
    "smtp_pass1 = \"mail#1\"\n"
    "smtp_pass2 = ''\n"
    "sql_pass = \"Dev2024!v2\"\n";

const std::vector<std::pair<std::string, std::string>> kPasswords = {
    {"admin_pass", "Adm1n!"}, {"frp_pass", "frp-secret"}, {"smtp_pass1", "mail#1"},
    {"smtp_pass2", "''"},     {"sql_pass", "Dev2024!v2"}};

const std::vector<std::string> kAllKeys = {"admin_pass", "frp_pass", "smtp_pass1", "smtp_pass2",
                                           "sql_pass"};

class Stages : public ::testing::Test {
 protected:
  Stages() { write_file(console.config_path, kInstallation); }

  void expect_passwords_at_tier(int tier) {
    const std::string file = read_file(console.config_path);
    for (const auto& [key, value] : kPasswords) {
      const std::string blob = blob_of(file, key);
      EXPECT_EQ(blob.substr(0, 3), "v" + std::to_string(tier) + ":") << key;
      EXPECT_EQ(console.service.unvault(blob, tier, ""), value) << key;
    }
  }

  ConsoleHarness console;
};

TEST_F(Stages, Stage2OnAnOpenInstallationVaultsAndRunsNothing) {
  EXPECT_EQ(console.run_menu("2\nq\n"), menu_text(false) + policy_output(2, kAllKeys) + menu_text(false));
  EXPECT_TRUE(console.runner.commands.empty());
  expect_passwords_at_tier(2);
  const std::string file = read_file(console.config_path);
  EXPECT_TRUE(file.starts_with("# Tarvemill installation\n[GENERAL]\nsite = \"north\"\n\n[PASSES]\n"));
  EXPECT_NE(file.find("\nfrp_pass = \"v2:"), std::string::npos);
  EXPECT_NE(file.find("\" # tunnel\n"), std::string::npos);
  EXPECT_EQ(testing::decrypt_with_openssl_cli(blob_of(file, "admin_pass"),
                                              to_hex(console.service.derive_tiered_key(2, "")),
                                              console.dir),
            "Adm1n!");
}

TEST_F(Stages, RunningAStageAgainChangesNothing) {
  console.run_menu("2\n");
  struct stat before {};
  ASSERT_EQ(stat(console.config_path.c_str(), &before), 0);
  const std::string vaulted = read_file(console.config_path);

  const std::string quiet = policy_output(2, {});
  EXPECT_EQ(console.run_menu("2\n3\n"),
            menu_text(false) + quiet + menu_text(false) + quiet +
                "[*] Sealing System (Immutable Mode)...\n[*] Locking System Files (Immutable)...\n" +
                GREEN + "[+] System SEALED (Stage 3)." + RESET + "\n" + menu_text(true));
  struct stat after {};
  ASSERT_EQ(stat(console.config_path.c_str(), &after), 0);
  EXPECT_EQ(read_file(console.config_path), vaulted);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(console.runner.commands,
            (std::vector<CommandLine>{{"chmod", "444", console.config_path}, kLockFiles}));
}

TEST_F(Stages, Stage1ThenStage2HoldsThePasswordsNotInnerBlobs) {
  console.run_menu("1\n");
  expect_passwords_at_tier(1);
  console.run_menu("2\n");
  expect_passwords_at_tier(2);
}

TEST_F(Stages, SealedInstallationAuthenticatesUnlocksAndDeEscalates) {
  console.sealed = true;
  console.device.plug_usb("4C530001\n");
  EXPECT_EQ(console.run_menu("1\n1234\nq\n"),
            menu_text(true) + kAccessGranted + "[*] Unlocking System Files (Mutable)...\n" +
                policy_output(1, kAllKeys) + "[*] System De-escalated (Mutable).\n" + menu_text(false));
  EXPECT_EQ(console.runner.commands,
            (std::vector<CommandLine>{kUnlockFiles, {"chmod", "644", console.config_path}}));
  expect_passwords_at_tier(1);
}

TEST_F(Stages, RefusedAuthenticationChangesNothing) {
  console.sealed = true;
  EXPECT_EQ(console.run_menu("3\nq\n"), menu_text(true) + kNoMasterKey + menu_text(true));
  EXPECT_EQ(read_file(console.config_path), kInstallation);
  EXPECT_TRUE(console.runner.commands.empty());
}

TEST_F(Stages, Stage3SealsAndAsksForAuthenticationNextTime) {
  console.run_menu("3\n");
  EXPECT_TRUE(console.sealed);
  expect_passwords_at_tier(2);
  console.runner.commands.clear();
  console.device.plug_usb("4C530001\n");
  const std::string output = console.run_menu("3\n1234\n");
  EXPECT_NE(output.find(kAccessGranted + "[*] Unlocking System Files (Mutable)...\n"),
            std::string::npos);
  EXPECT_EQ(console.runner.commands,
            (std::vector<CommandLine>{kUnlockFiles,
                                      {"chmod", "644", console.config_path},
                                      {"chmod", "444", console.config_path},
                                      kLockFiles}));
}

TEST_F(Stages, FailuresAreReportedInsteadOfSuccess) {
  std::filesystem::remove(console.config_path);
  console.runner.exit_status[joined(kLockFiles)] = 1;
  const std::string output = console.run_menu("3\n");
  const std::string open_error = RED + "[-] Error: Could not open " + console.config_path + RESET + "\n";
  std::string five_errors;
  for (int i = 0; i < 5; ++i) five_errors += open_error;
  EXPECT_EQ(console.err, five_errors);
  EXPECT_NE(output.find("\n" + RED + "[-] Error: Security Policy Incomplete." + RESET + "\n" +
                        "[*] Sealing System (Immutable Mode)...\n" +
                        "[*] Locking System Files (Immutable)...\n" + RED +
                        "[-] Error: Locking Failed." + RESET + "\n"),
            std::string::npos);
  EXPECT_EQ(output.find("[+]"), std::string::npos);
}

TEST_F(Stages, UnwritableFileIsReportedAndKept) {
  const ImmutableGuard immutable(console.config_path);
  if (!immutable.active()) VESK_SKIP_UNLESS_CI("this file system has no immutable attribute");
  const std::string output = console.run_menu("2\n");
  const std::string write_error =
      RED + "[-] Error: Could not write " + console.config_path + RESET + "\n";
  std::string five_errors;
  for (int i = 0; i < 5; ++i) five_errors += write_error;
  EXPECT_EQ(console.err, five_errors);
  EXPECT_NE(output.find(RED + "[-] Error: Security Policy Incomplete."), std::string::npos);
  EXPECT_EQ(read_file(console.config_path), kInstallation);
}

}  // namespace
}  // namespace vesk::testing
