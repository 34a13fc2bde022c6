#include <gtest/gtest.h>
#include <pty.h>

#include "console/terminal.h"
#include "tests/console/console_harness.h"

namespace vesk::testing {
namespace {

const std::string kLaunching = GREEN + "[+] Launching Nano..." + RESET + "\n";

TEST(Authentication, ReportsEachOutcomeExactly) {
  ConsoleHarness console;
  bool verdict = true;
  const auto authenticate = [&verdict](AdminTool& tool) { verdict = tool.authenticate_admin(); };

  EXPECT_EQ(console.run_operation("1234\n", authenticate), kNoMasterKey);
  EXPECT_FALSE(verdict);

  console.device.plug_usb("4C530001\n");
  EXPECT_EQ(console.run_operation(" \n \n", authenticate), kPinPrompt);
  EXPECT_FALSE(verdict);

  EXPECT_EQ(console.run_operation("\n  any-PIN;at all\n", authenticate), kAccessGranted);
  EXPECT_TRUE(verdict);
  EXPECT_TRUE(console.runner.commands.empty());
}

TEST(EditConfiguration, OpenInstallationOnlyRunsTheEditor) {
  ConsoleHarness console;
  EXPECT_EQ(console.run_menu("4\nq\n"), menu_text(false) + kLaunching + menu_text(false));
  EXPECT_EQ(console.runner.commands, (std::vector<CommandLine>{{"nano", console.config_path}}));
}

TEST(EditConfiguration, SealedInstallationUnlocksEditsAndRelocks) {
  ConsoleHarness console;
  console.sealed = true;
  console.device.plug_usb("4C530001\n");
  EXPECT_EQ(console.run_menu("4\n1234\nq\n"),
            menu_text(true) + kAccessGranted + "[*] Unlocking System Files (Mutable)...\n" +
                kLaunching + "[*] Re-sealing configuration file...\n" +
                "[*] Locking System Files (Immutable)...\n" + menu_text(true));
  EXPECT_EQ(console.runner.commands,
            (std::vector<CommandLine>{kUnlockFiles,
                                      {"chmod", "644", console.config_path},
                                      {"nano", console.config_path},
                                      {"chmod", "444", console.config_path},
                                      kLockFiles}));
}

TEST(EditConfiguration, RefusedAuthenticationRunsNothing) {
  ConsoleHarness console;
  console.sealed = true;
  EXPECT_EQ(console.run_menu("4\nq\n"), menu_text(true) + kNoMasterKey + menu_text(true));
  console.device.plug_usb("4C530001\n");
  console.run_menu("4\n");  // input ends at the PIN prompt
  EXPECT_TRUE(console.runner.commands.empty());
  EXPECT_TRUE(console.sealed);
}

TEST(EditConfiguration, FailedRelockIsReported) {
  for (const CommandLine& failing : {CommandLine{"chmod", "444", ""}, kLockFiles}) {
    ConsoleHarness console;
    console.sealed = true;
    console.device.plug_usb("4C530001\n");
    CommandLine command = failing;
    if (command[0] == "chmod") command[2] = console.config_path;
    console.runner.exit_status[joined(command)] = 1;
    const std::string output = console.run_menu("4\n1234\nq\n");
    EXPECT_NE(output.find("[*] Locking System Files (Immutable)...\n" + RED +
                          "[-] Error: Locking Failed." + RESET + "\n" + menu_text(true)),
              std::string::npos)
        << joined(command);
  }
}

TEST(Authentication, WordsAfterThePinAreTheNextSelection) {
  ConsoleHarness console;
  console.sealed = true;
  console.device.plug_usb("4C530001\n");
  const std::string output = console.run_menu("4\n1234 5\nq\n");
  EXPECT_TRUE(output.ends_with("[*] Locking System Files (Immutable)...\n" + menu_text(true) +
                               "\n--- USB KEY ENROLLMENT ---\n[*] USB Serial Detected: " + CYAN +
                               "4C530001" + RESET + "\n" + GREEN +
                               "[+] Key Authorized for Recovery." + RESET + "\n" + menu_text(true)));
}

TEST(EchoOff, SilencesATerminalForItsLifetimeOnly) {
  int controller = -1;
  int terminal = -1;
  ASSERT_EQ(openpty(&controller, &terminal, nullptr, nullptr, nullptr), 0);
  termios settings{};
  {
    const EchoOff echo_off(terminal);
    EXPECT_TRUE(echo_off.active());
    ASSERT_EQ(tcgetattr(terminal, &settings), 0);
    EXPECT_EQ(settings.c_lflag & ECHO, 0u);
  }
  ASSERT_EQ(tcgetattr(terminal, &settings), 0);
  EXPECT_NE(settings.c_lflag & ECHO, 0u);
  close(controller);
  close(terminal);

  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  EXPECT_FALSE(EchoOff(pipe_ends[0]).active());
  EXPECT_FALSE(EchoOff(-1).active());
  close(pipe_ends[0]);
  close(pipe_ends[1]);
}

}  // namespace
}  // namespace vesk::testing
