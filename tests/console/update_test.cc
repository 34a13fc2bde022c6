#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "console/policy_rules.h"
#include "tests/console/console_harness.h"
#include "tests/support/row_name.h"
#include "tests/support/shell.h"

namespace vesk::testing {
namespace {

struct FlagRow {
  const char* name;
  std::string config;
  bool allowed;
  friend void PrintTo(const FlagRow& row, std::ostream* out) { *out << row.name; }
};

class RemoteUpdateFlag : public ::testing::TestWithParam<FlagRow> {};

TEST_P(RemoteUpdateFlag, OnlyAnAssignmentOfTrueAllows) {
  EXPECT_EQ(remote_updates_allowed(GetParam().config), GetParam().allowed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RemoteUpdateFlag,
    ::testing::Values(
        FlagRow{"Bare", "[UPDATES]\nallow_remote_updates = true\n", true},
        FlagRow{"Quoted", "allow_remote_updates=\"true\"  # yes\n", true},
        FlagRow{"AnySectionCrlf", "[X]\r\n  allow_remote_updates\t= true\r\n", true},
        FlagRow{"FalseThenTrue", "allow_remote_updates = false\nallow_remote_updates = true", true},
        FlagRow{"False", "allow_remote_updates = false # not true\n", false},
        FlagRow{"CommentedOut", "# allow_remote_updates = true\n", false},
        FlagRow{"TrueOnlyInComment", "allow_remote_updates = no # true\n", false},
        FlagRow{"LongerKey", "allow_remote_updates_v2 = true\nmy_allow_remote_updates = true\n", false},
        FlagRow{"TrueInsideALongerValue", "allow_remote_updates = untrue\n", false},
        FlagRow{"UpperCase", "allow_remote_updates = TRUE\n", false},
        FlagRow{"NoKey", "[PASSES]\nadmin_pass = true\n", false},
        FlagRow{"Empty", "", false}),
    RowName());

// Runs the test in a working directory of its own, as the console runs in
// the installation directory.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::filesystem::path& dir) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~WorkingDirectory() { std::filesystem::current_path(previous_); }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  std::filesystem::path previous_;
};

const std::string kOpenRefusal = YELLOW + "\n[!] System is OPEN (Stage 1/2)." + RESET + "\n" +
                                 "    Use 'scp' or 'cp' to update files directly.\n";
const CommandLine kUnlockBinary = {"sudo", "chattr", "-i", "tarvemill_run"};
const CommandLine kLockBinary = {"sudo", "chattr", "+i", "tarvemill_run"};

std::string heading(bool remote) {
  return CYAN + "\n--- PRODUCTION SYSTEM UPDATE ---" + RESET + "\nRemote Updates Allowed: " +
         (remote ? GREEN + "YES" : RED + "NO") + RESET + "\nEnter Package Path (.tar.gz): ";
}

const std::string kAuthRequired =
    YELLOW + "[!] Remote updates disabled. Physical Auth required." + RESET + "\n";
const std::string kApplying = "[*] Unlocking Application Binary ONLY...\n[*] Applying Update...\n";
const std::string kSucceeded = GREEN + "[+] Update Successful." + RESET + "\n";

class Update : public ::testing::Test {
 protected:
  Update() : in_dir(console.dir.path()) {
    console.sealed = true;
    console.runner.really_run = {"openssl", "tar"};
  }

  std::string update(const std::string& input) {
    return console.run_operation(input, [](AdminTool& tool) { tool.perform_update(); });
  }

  void allow_remote_updates() {
    write_file(console.config_path, "[UPDATES]\nallow_remote_updates = true\n");
  }

  // A package holding a new application binary, its key pair and signature,
  // all made with the command-line tools.
  void make_signed_package() {
    write_file(console.dir.file("build/tarvemill_run"), "new application\n");
    ASSERT_EQ(run_shell("cd " + console.dir.path().string() +
                        " && tar -czf update.tar.gz -C build tarvemill_run"
                        " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256"
                        " -out private.pem 2>/dev/null"
                        " && openssl pkey -in private.pem -pubout -out public_key.pem"
                        " && openssl dgst -sha256 -sign private.pem -out update.sig update.tar.gz")
                  .exit_status,
              0);
  }

  ConsoleHarness console;
  WorkingDirectory in_dir;
};

TEST_F(Update, OpenInstallationRefusesWithoutReadingInput) {
  console.sealed = false;
  EXPECT_EQ(update("pkg.tar.gz\n1234\n"), kOpenRefusal);
  EXPECT_EQ(console.unread_input, "pkg.tar.gz\n1234\n");
  EXPECT_TRUE(console.runner.commands.empty());
}

TEST_F(Update, AuthenticationApprovesWhenRemoteUpdatesAreOff) {
  console.device.plug_usb("4C530001\n");
  console.runner.really_run.clear();
  EXPECT_EQ(update("pkg.tar.gz 1234\n5\n"),
            heading(false) + kAuthRequired + kAccessGranted + kApplying + kSucceeded);
  EXPECT_EQ(console.runner.commands,
            (std::vector<CommandLine>{kUnlockBinary, {"tar", "-xzf", "pkg.tar.gz"}, kLockBinary}));
  EXPECT_EQ(console.unread_input, "\n5\n");
}

TEST_F(Update, RefusedAuthenticationChangesNothing) {
  EXPECT_EQ(update("pkg.tar.gz\n"), heading(false) + kAuthRequired + kNoMasterKey);
  EXPECT_TRUE(console.runner.commands.empty());
}

TEST_F(Update, VerifiedSignatureApprovesAndTheArchiveIsExtracted) {
  allow_remote_updates();
  make_signed_package();
  EXPECT_EQ(update("update.tar.gz\nupdate.sig\n"),
            heading(true) + "Enter Signature Path (.sig): [*] Verifying Digital Signature...\n" +
                GREEN + "[+] Signature VERIFIED. Package Trusted." + RESET + "\n" + kApplying +
                kSucceeded);
  const CommandLine verify = {"openssl", "dgst",       "-sha256",  "-verify",     "public_key.pem",
                              "-signature", "update.sig", "update.tar.gz"};
  EXPECT_EQ(console.runner.commands,
            (std::vector<CommandLine>{verify, kUnlockBinary, {"tar", "-xzf", "update.tar.gz"},
                                      kLockBinary}));
  EXPECT_EQ(console.runner.quiet_commands, std::vector<CommandLine>{verify});
  EXPECT_EQ(read_file(console.dir.file("tarvemill_run")), "new application\n");
}

TEST_F(Update, UnverifiableSignaturesApproveNothing) {
  allow_remote_updates();
  make_signed_package();
  write_file(console.dir.file("tampered.tar.gz"),
             read_file(console.dir.file("update.tar.gz")) + std::string(1, '\0'));
  const std::string alert = "[*] Verifying Digital Signature...\n" + RED +
                            "[-] ALERT: Signature Verification FAILED." + RESET + "\n";
  for (const std::string input : {"tampered.tar.gz update.sig\n", "update.tar.gz missing.sig\n",
                                  "x;touch${IFS}pwned update.sig\n"}) {
    console.runner.commands.clear();
    EXPECT_EQ(update(input), heading(true) + "Enter Signature Path (.sig): " + alert) << input;
    EXPECT_EQ(console.runner.commands.size(), 1u) << input;
  }
  EXPECT_FALSE(std::filesystem::exists(console.dir.file("pwned")));

  std::filesystem::remove(console.dir.file("public_key.pem"));
  console.runner.commands.clear();
  EXPECT_EQ(update("update.tar.gz update.sig\n"),
            heading(true) + "Enter Signature Path (.sig): [*] Verifying Digital Signature...\n" +
                RED + "[-] Error: public_key.pem not found." + RESET + "\n");
  EXPECT_TRUE(console.runner.commands.empty());
}

TEST_F(Update, FailedExtractionStillRelocksAndFailedRelockIsReported) {
  console.device.plug_usb("4C530001\n");
  console.runner.exit_status[joined(kLockBinary)] = 1;
  // A name a shell would run as two commands is one missing file for tar.
  EXPECT_EQ(update("x;touch${IFS}pwned.tar.gz 1234\n"),
            heading(false) + kAuthRequired + kAccessGranted + kApplying + RED +
                "[-] Update Failed." + RESET + "\n" + RED + "[-] Error: Locking Failed." + RESET +
                "\n");
  EXPECT_EQ(console.runner.commands.back(), kLockBinary);
  EXPECT_FALSE(std::filesystem::exists(console.dir.file("pwned.tar.gz")));
}

TEST_F(Update, PathsThatLookLikeOptionsStayOperands) {
  console.device.plug_usb("4C530001\n");
  console.runner.really_run.clear();
  update("--to-command=sh 1234\n");
  EXPECT_EQ(console.runner.commands.at(1), (CommandLine{"tar", "-xzf", "./--to-command=sh"}));
}

}  // namespace
}  // namespace vesk::testing
