// keywarden's dialogues, each once, exactly: what the operator sees and the
// outside commands the console asks for (recorded, not run), on an
// installation in a temp folder and a machine that fails any call a row
// names. tests/system runs the real program where only the real system
// will do: the terminal, chattr, openssl and tar.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "config/config_file.h"
#include "config/installation.h"
#include "installation.h"
#include "security/unique_fd.h"

namespace vesk {
namespace {

const std::string kGreen = "\x1b[01;32m", kRed = "\x1b[01;31m", kCyan = "\x1b[01;36m",
                  kYellow = "\x1b[01;33m", kReset = "\x1b[00m";
std::string line(const std::string& colour, const std::string& text) {
  return colour + text + kReset + "\n";
}
std::string menu(bool sealed) {
  return "\n" + kCyan + "VESK TARVEMILL - ADMIN v3.3 " +
         (sealed ? kRed + "[SEALED]" : kGreen + "[OPEN]") + kReset +
         "\n1. Stage 1: Provision (Dev Key)\n2. Stage 2: Localize (CPU Bound)\n3. Stage 3: Seal "
         "(Immutable + USB Auth)\n4. Edit Configuration (Nano)\n5. Enroll USB Master Key\n6. "
         "Restore Config from USB\n" +
         (sealed ? "7. Update Application Code (Signed)\n" : "   (Use SCP for Updates)\n") +
         "0. Exit (or 'q')\nSelection: ";
}
// Stage `tier`'s report: a line for each of the first `keys` passwords, then `end`.
std::string policy(int tier, int keys = 5, const std::string& end = "[+] Data Hardened.") {
  const std::string v = " (v" + std::to_string(tier) + ")";
  std::string text = kCyan + "--- Applying Security Policy" + v + " ---" + kReset + "\n";
  for (const char* key : {"admin_pass", "frp_pass", "smtp_pass1", "smtp_pass2", "sql_pass"}) {
    if (keys-- > 0)
      text += "    Encrypting " + std::string(key) + v + "... " + line(kGreen, "DONE");
  }
  return text + "\n" + line(end[1] == '+' ? kGreen : kRed, end);
}
std::string update(bool remote) {
  return line(kCyan, "\n--- PRODUCTION SYSTEM UPDATE ---") +
         "Remote Updates Allowed: " + (remote ? kGreen + "YES" : kRed + "NO") + kReset +
         "\nEnter Package Path (.tar.gz): " +
         (remote ? "Enter Signature Path (.sig): [*] Verifying Digital Signature...\n"
                 : line(kYellow, "[!] Remote updates disabled. Physical Auth required."));
}
const std::string kIncomplete = "[-] Error: Security Policy Incomplete.";
const std::string kAuth =
    line(kRed, "\n[LOCKED] Authenticating Admin...") + "[*] Checking for Master USB Key... ";
const std::string kApplying = "[*] Unlocking Application Binary ONLY...\n[*] Applying Update...\n";
const std::string kRestore =
    line(kCyan, "\n--- DISASTER RECOVERY ---") +
    "This will overwrite the current configuration with the one from USB.\n";

// What the operator sees, screen by screen: a row names them in order.
const std::map<std::string, std::string> kScreens = {
    {"open", menu(false)},
    {"sealed", menu(true)},
    {"auth",
     kAuth + line(kGreen, "FOUND") + "[*] Enter Admin PIN: " + line(kGreen, "[+] Access Granted.")},
    {"auth-no-pin", kAuth + line(kGreen, "FOUND") + "[*] Enter Admin PIN: "},
    {"auth-no-drive", kAuth + line(kRed, "FAIL (Missing)")},
    {"unlock", "[*] Unlocking System Files (Mutable)...\n"},
    {"lock", "[*] Locking System Files (Immutable)...\n"},
    {"re-seal", "[*] Re-sealing configuration file...\n[*] Locking System Files (Immutable)...\n"},
    {"seal", "[*] Sealing System (Immutable Mode)...\n[*] Locking System Files (Immutable)...\n"},
    {"sealed-ok", line(kGreen, "[+] System SEALED (Stage 3).")},
    {"lock-failed", line(kRed, "[-] Error: Locking Failed.")},
    {"nano", line(kGreen, "[+] Launching Nano...")},
    {"v1", policy(1)},
    {"v2", policy(2)},
    {"v2-nothing", policy(2, 0)},
    {"v1-first-key-incomplete", policy(1, 1, kIncomplete)},
    {"v2-incomplete", policy(2, 0, kIncomplete)},
    {"v1-failed", kCyan + "--- Applying Security Policy (v1) ---" + kReset +
                      "\n    Encrypting sql_pass (v1)... " + line(kRed, "FAILED") + "\n" +
                      line(kRed, kIncomplete)},
    {"de-escalated", "[*] System De-escalated (Mutable).\n"},
    {"enrol", "\n--- USB KEY ENROLLMENT ---\n[*] USB Serial Detected: " + kCyan + "USB-4C530001" +
                  kReset + "\n" + line(kGreen, "[+] Key Authorized for Recovery.")},
    {"enrol-no-drive", "\n--- USB KEY ENROLLMENT ---\n" + line(kRed, "[-] No USB Drive found.")},
    {"restore", kRestore},
    {"restore-sealed",
     kRestore + line(kYellow, "[!] System is Sealed. Auth required to overwrite.")},
    {"restore-no-drive", kRestore + line(kRed, "[-] Error: No USB Drive found.")},
    {"restore-no-copy", kRestore + line(kRed, "[-] Error: installation.toml not found on USB.")},
    {"restored", "[*] Restoring Configuration...\n" + line(kGreen, "[+] Restore Successful.") +
                     "[*] You should now review settings (Option 4) or Seal (Option 3).\n"},
    {"copy-failed", "[*] Restoring Configuration...\n" + line(kRed, "[-] Copy Failed.")},
    {"update", update(false)},
    {"update-signed", update(true)},
    {"verified", line(kGreen, "[+] Signature VERIFIED. Package Trusted.")},
    {"alert", line(kRed, "[-] ALERT: Signature Verification FAILED.")},
    {"no-key", line(kRed, "[-] Error: public_key.pem not found.")},
    {"applied", kApplying + line(kGreen, "[+] Update Successful.")},
    {"not-applied", kApplying + line(kRed, "[-] Update Failed.")},
};
// The commands the console asks for, by name.
const std::map<std::string, std::string> kCommands = {
    {"unlock",
     "sudo chattr -i installation.toml keywarden tarvemill_run\nchmod 644 installation.toml\n"},
    {"lock",
     "chmod 444 installation.toml\nsudo chattr +i installation.toml keywarden tarvemill_run\n"},
    {"nano", "nano installation.toml\n"},
    {"cp", "cp usb/installation.toml .installation.toml.XXXXXX\n"},
    {"verify",
     "openssl dgst -sha256 -verify public_key.pem -signature vesk-update.XXXXXX/signature "
     "vesk-update.XXXXXX/package\n"},
    {"update",
     "sudo chattr -i tarvemill_run\ntar -xzf update.tar.gz\nsudo chattr +i tarvemill_run\n"},
    {"update-odd",
     "sudo chattr -i tarvemill_run\ntar -xzf ./-no;thing.tgz\nsudo chattr +i tarvemill_run\n"},
    {"update-private",
     "sudo chattr -i tarvemill_run\ntar -xzf vesk-update.XXXXXX/package\n"
     "sudo chattr +i tarvemill_run\n"},
};
// The texts `names` stand for in `table`, one after the other.
std::string joined(const std::map<std::string, std::string>& table, const std::string& names) {
  std::istringstream words(names);
  std::string text;
  for (std::string name; words >> name;) text += table.at(name);
  return text;
}

TEST(Console, Flows) {
  const std::string huge = "[PASSES]\nadmin_pass = a\n#" + std::string(kMaxConfigBytes - 60, '#');
  const std::string blob = "[PASSES]\nsql_pass = " + kTier2Blob + "\n";
  const struct {
    const char* name;
    std::string device, input, screens, commands = "", err = "";
    std::string config = kConfig, config_after = kConfig;  // after: "" when not looked at
  } rows[] = {
      {"menu tokens; enrol without a drive, edit, open; Q exits", "no-drive",
       "00 q1 quit -1 8 2147483648 4294967297 +0 7 5\n4x\nQ 4",
       "open open open open open open open open open open enrol-no-drive open nano open", "nano"},
      {"edit, sealed; the PIN's line goes on; enrol; 0 exits", "sealed", "4\n1234 5\n0 4",
       "sealed auth unlock nano re-seal sealed enrol sealed", "unlock nano lock"},
      {"stage 1, sealed", "sealed", "1\npin\n", "sealed auth unlock v1 de-escalated open", "unlock",
       "", kConfig, ""},
      {"stages 2 and 3, open", "", "+2 3", "open v2 open v2-nothing seal sealed-ok sealed", "lock",
       "", kConfig, ""},
      {"stage 3, chattr fails", "fail:sudo_chattr_+i", "3", "open v2 seal lock-failed open", "lock",
       "", kConfig, ""},
      {"stage 3, chmod fails", "fail:chmod", "3", "open v2 seal lock-failed sealed", "lock", "",
       kConfig, ""},
      {"stage, edit, sealed, no drive; restore, sealed, neither drive nor file", "sealed no-drive",
       "2\n4\n6\n", "sealed auth-no-drive sealed auth-no-drive sealed restore-no-drive sealed"},
      {"stage 1, a full disk: the old content put back, no later key", "full-disk", "1",
       "open v1-first-key-incomplete open", "",
       line(kRed, "[-] Error: Could not write installation.toml; its old content was put back")},
      {"stage 2, an unreadable configuration", "unreadable", "2", "open v2-incomplete open", "",
       [] {
         std::string errors;
         for (int i = 0; i < 5; ++i)
           errors += line(kRed, "[-] Error: Could not open installation.toml");
         return errors;
       }()},
      // The blob of the other tier is opened first: with a cpuinfo that
      // cannot be read the key fails, the blob stays.
      {"stage 1, an unreadable cpuinfo", "no-cpuinfo", "1", "open v1-failed open", "",
       line(kRed, "[-] Error: cannot read cpuinfo"), blob, blob},
      {"stage 1 past the size limit", "", "1", "open v1-first-key-incomplete open", "",
       line(kRed, "[-] Error: Could not write installation.toml: it would be larger than 16 MiB"),
       huge, huge},
      {"restore, sealed, no PIN", "sealed usb-copy", "6\n",
       "sealed restore-sealed auth-no-pin sealed"},
      {"restore, sealed", "sealed usb-copy", "6\npin\n",
       "sealed restore-sealed auth unlock restored open", "unlock cp", "", kConfig,
       "admin_pass = usb\n"},
      {"restore, the copy fails", "usb-copy fail:cp", "6", "open restore copy-failed open", "cp"},
      {"restore without the drive's copy", "", "6", "open restore-no-copy open"},
      // A shell would run two commands for the second package; keywarden
      // hands tar one argument.
      {"update, authenticated; extraction fails", "sealed fail:tar_-xzf_./-no",
       "7\nupdate.tar.gz\npin\n7\n-no;thing.tgz\npin\n",
       "sealed update auth applied sealed update auth not-applied sealed", "update update-odd", "",
       kConfig, ""},
      {"signed update: a bad signature; a missing file never reaches openssl",
       "sealed remote fail:openssl", "7\nupdate.tar.gz update.tar.gz.sig\n7\nupdate.tar.gz x\n",
       "sealed update-signed alert sealed update-signed alert sealed", "verify", "", kConfig, ""},
      {"signed update without the key", "sealed remote no-key", "7\nupdate.tar.gz x.sig\n",
       "sealed update-signed no-key sealed", "", "", kConfig, ""},
      {"an operation that throws gives the menu back", "throwing", "4", "open nano open", "nano",
       line(kRed, "[-] Error: no editor")},
  };
  for (const auto& row : rows) {
    Installation device(row.config);
    device.stage(row.device);
    const auto [out, err, commands] = device.console(row.input);
    EXPECT_EQ(out, joined(kScreens, row.screens)) << row.name;
    EXPECT_EQ(err, row.err) << row.name;
    EXPECT_EQ(commands, joined(kCommands, row.commands)) << row.name;
    if (!row.config_after.empty()) {
      EXPECT_EQ(device.read("installation.toml"), row.config_after) << row.name;
    }
  }
}

// The bytes tar extracts are the bytes whose signature was verified: the
// operator's file is swapped right after it was copied. The private folder
// a killed run left goes, and so does the update's own.
TEST(Console, SignedUpdateExtractsTheBytesItVerified) {
  Installation device;
  device.stage("sealed remote");
  std::filesystem::create_directories(device.path / "vesk-update.AbC123/package");
  std::string extracted;
  device.machine.on_run = [&](const CommandLine& command) {
    if (command[0] == "openssl") device.write("update.tar.gz", "evil");
    if (command[0] == "tar")
      extracted = (std::ostringstream() << std::ifstream(command[2]).rdbuf()).str();
  };
  const std::string input = "7\nupdate.tar.gz update.tar.gz.sig\n";
  const auto [out, err, commands] = device.console(input);
  EXPECT_EQ(out, joined(kScreens, "sealed update-signed verified applied sealed"));
  EXPECT_EQ(commands, joined(kCommands, "verify update-private"));
  EXPECT_EQ(extracted, "tarvemill 2.0");
  for (const auto& entry : std::filesystem::directory_iterator(device.path)) {
    EXPECT_FALSE(entry.path().filename().string().starts_with("vesk-update.")) << entry.path();
  }
}

// Whether the terminal echoed when the PIN prompt was written.
struct PromptWatch : std::stringbuf {
  explicit PromptWatch(int watched) : terminal(watched) {}
  std::streamsize xsputn(const char* text, std::streamsize size) override {
    termios settings{};
    if (std::string_view(text, static_cast<std::size_t>(size)).find("PIN") != std::string::npos &&
        tcgetattr(terminal, &settings) == 0) {
      echo_at_prompt = (settings.c_lflag & ECHO) != 0;
    }
    return std::stringbuf::xsputn(text, size);
  }
  int terminal;
  std::optional<bool> echo_at_prompt;
};

TEST(Authentication, EchoIsOffBeforeThePromptShows) {
  std::array<int, 2> ends{-1, -1};  // master, slave
  ASSERT_EQ(openpty(&ends[0], &ends[1], nullptr, nullptr, nullptr), 0);
  const std::array<UniqueFd, 2> owned{UniqueFd(ends[0]), UniqueFd(ends[1])};
  Installation installation;
  installation.machine.sealed = true;
  PromptWatch watch(ends[1]);
  std::ostream out(&watch);
  installation.console("4\n1234\nq\n", &out, ends[1]);
  EXPECT_EQ(watch.echo_at_prompt, false);
}

// A missing configuration counts as sealed.
TEST(Console, SealedWithoutAConfiguration) {
  EXPECT_FALSE(is_writable("/nonexistent/installation.toml"));
}

TEST(ProcessRunner, ExitStatuses) {
  // The console ignores Ctrl-C while a command runs; the command does not.
  EXPECT_EQ(run_process({"sh", "-c", "kill -INT $PPID"}, CommandOutput::kDiscard), 0);
  EXPECT_EQ(run_process({"sh", "-c", "kill -INT $$"}, CommandOutput::kDiscard), 128 + SIGINT);
  EXPECT_EQ(run_process({"/nonexistent/program"}, CommandOutput::kDiscard), 127);
  // Only the editor reads the console's input; here /dev/zero stands in for it.
  const UniqueFd saved_input(dup(STDIN_FILENO));
  const UniqueFd zero(open("/dev/zero", O_RDONLY | O_CLOEXEC));
  dup2(zero.get(), STDIN_FILENO);
  const CommandLine reads_null = {"sh", "-c", "[ \"$(readlink /proc/self/fd/0)\" = /dev/null ]"};
  const int inherited = run_process(reads_null, CommandOutput::kInherit);
  const int terminal = run_process(reads_null, CommandOutput::kTerminal);
  dup2(saved_input.get(), STDIN_FILENO);
  EXPECT_EQ(std::pair(inherited, terminal), std::pair(0, 1));
}

}  // namespace
}  // namespace vesk
