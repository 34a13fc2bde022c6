#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/console/console_harness.h"

namespace vesk::testing {
namespace {

const std::string kHeading = CYAN + "\n--- DISASTER RECOVERY ---" + RESET + "\n" +
                             "This will overwrite the current configuration with the one from USB.\n";
const std::string kCurrent = "[PASSES]\nadmin_pass = \"current\"\n";
const std::string kBackup = "[PASSES]\nadmin_pass = \"from usb\"\n";
const std::string kRestored = "[*] Restoring Configuration...\n" + GREEN + "[+] Restore Successful." +
                              RESET + "\n" +
                              "[*] You should now review settings (Option 4) or Seal (Option 3).\n";

class Restore : public ::testing::Test {
 protected:
  Restore() {
    write_file(console.config_path, kCurrent);
    console.runner.really_run = {"cp"};
  }

  std::string restore(const std::string& input = "") {
    return console.run_operation(input, [](AdminTool& tool) { tool.request_restore(); });
  }

  // The copy command must write a temporary file beside the configuration.
  void expect_copy_beside_config(const CommandLine& command) {
    ASSERT_EQ(command.size(), 3u);
    EXPECT_EQ(command[0], "cp");
    EXPECT_EQ(command[1], console.usb_config);
    EXPECT_EQ(std::filesystem::path(command[2]).parent_path(),
              std::filesystem::path(console.config_path).parent_path());
    EXPECT_NE(command[2], console.config_path);
  }

  ConsoleHarness console;
};

TEST_F(Restore, ChecksTheDriveThenTheFileOnIt) {
  write_file(console.usb_config, kBackup);
  EXPECT_EQ(restore(), kHeading + RED + "[-] Error: No USB Drive found." + RESET + "\n");
  std::filesystem::remove(console.usb_config);
  console.device.plug_usb("4C530001\n");
  EXPECT_EQ(restore(), kHeading + RED + "[-] Error: installation.toml not found on USB." + RESET + "\n");
  EXPECT_TRUE(console.runner.commands.empty());
  EXPECT_EQ(read_file(console.config_path), kCurrent);
}

TEST_F(Restore, OpenInstallationOnlyCopies) {
  console.device.plug_usb("4C530001\n");
  write_file(console.usb_config, kBackup);
  ASSERT_EQ(chmod(console.config_path.c_str(), 0640), 0);
  EXPECT_EQ(restore(), kHeading + kRestored);
  ASSERT_EQ(console.runner.commands.size(), 1u);
  expect_copy_beside_config(console.runner.commands[0]);
  EXPECT_EQ(read_file(console.config_path), kBackup);
  struct stat status {};
  ASSERT_EQ(stat(console.config_path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(console.dir.path()), {}), 2);
}

TEST_F(Restore, SealedInstallationAuthenticatesUnlocksAndStaysOpen) {
  console.device.plug_usb("4C530001\n");
  write_file(console.usb_config, kBackup);
  console.sealed = true;
  const std::string warning = YELLOW + "[!] System is Sealed. Auth required to overwrite." + RESET + "\n";

  EXPECT_EQ(restore(), kHeading + warning + kPinPrompt);
  EXPECT_TRUE(console.runner.commands.empty());
  EXPECT_EQ(read_file(console.config_path), kCurrent);

  EXPECT_EQ(console.run_menu("6\n1234\nq\n"),
            menu_text(true) + kHeading + warning + kAccessGranted +
                "[*] Unlocking System Files (Mutable)...\n" + kRestored + menu_text(false));
  ASSERT_EQ(console.runner.commands.size(), 3u);
  EXPECT_EQ(console.runner.commands[0], kUnlockFiles);
  EXPECT_EQ(console.runner.commands[1], (CommandLine{"chmod", "644", console.config_path}));
  expect_copy_beside_config(console.runner.commands[2]);
  EXPECT_EQ(read_file(console.config_path), kBackup);
}

TEST_F(Restore, FailedCopyKeepsTheCurrentFile) {
  console.device.plug_usb("4C530001\n");
  write_file(console.usb_config, kBackup);
  console.runner.on_run = [](const CommandLine& command) -> std::optional<int> {
    // A copy that dies half-way: part of the file written, status non-zero.
    write_file(command.at(2), "[PASSES]\nadmin_pa");
    return 1;
  };
  EXPECT_EQ(restore(), kHeading + "[*] Restoring Configuration...\n" + RED + "[-] Copy Failed." + RESET +
                           "\n");
  EXPECT_EQ(read_file(console.config_path), kCurrent);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(console.dir.path()), {}), 2);
}

}  // namespace
}  // namespace vesk::testing
