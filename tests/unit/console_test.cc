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
#include <functional>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "config/config_file.h"
#include "config/installation.h"
#include "console/admin_tool.h"
#include "fake_machine.h"
#include "security/base_key.h"
#include "security/unique_fd.h"
#include "temp_folder.h"

namespace vesk {
namespace {

const std::string kGreen = "\x1b[01;32m", kRed = "\x1b[01;31m", kCyan = "\x1b[01;36m",
                  kReset = "\x1b[00m";
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
const std::string kOpen = menu(false), kSealed = menu(true);
const std::string kAuth =
    line(kRed, "\n[LOCKED] Authenticating Admin...") + "[*] Checking for Master USB Key... ";
const std::string kPin = kAuth + line(kGreen, "FOUND") + "[*] Enter Admin PIN: ";
const std::string kAuthOk = kPin + line(kGreen, "[+] Access Granted.");
const std::string kUnlock = "[*] Unlocking System Files (Mutable)...\n";
const std::string kLock = "[*] Locking System Files (Immutable)...\n";
const std::string kSealing = "[*] Sealing System (Immutable Mode)...\n" + kLock;
const std::string kLockFailed = line(kRed, "[-] Error: Locking Failed.");
const std::string kNano = line(kGreen, "[+] Launching Nano...");
const std::string kIncomplete = "[-] Error: Security Policy Incomplete.";
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
const std::string kRestore =
    line(kCyan, "\n--- DISASTER RECOVERY ---") +
    "This will overwrite the current configuration with the one from USB.\n";
const std::string kSealedRestore =
    kRestore + line("\x1b[01;33m", "[!] System is Sealed. Auth required to overwrite.");
std::string update(bool remote) {
  return line(kCyan, "\n--- PRODUCTION SYSTEM UPDATE ---") +
         "Remote Updates Allowed: " + (remote ? kGreen + "YES" : kRed + "NO") + kReset +
         "\nEnter Package Path (.tar.gz): " +
         (remote ? "Enter Signature Path (.sig): [*] Verifying Digital Signature...\n"
                 : line("\x1b[01;33m", "[!] Remote updates disabled. Physical Auth required."));
}
std::string applied(const std::string& end = "[+] Update Successful.") {
  return "[*] Unlocking Application Binary ONLY...\n[*] Applying Update...\n" +
         line(end[1] == '+' ? kGreen : kRed, end);
}
const std::string kAlert = line(kRed, "[-] ALERT: Signature Verification FAILED.");
const std::string kConfig =
    "# Tarvemill installation\n[PASSES]\nadmin_pass = \"alpha\"\nfrp_pass = beta # relay\n"
    "  smtp_pass1 = \"gamma\"\nsmtp_pass2=\"delta\"   # second\nsql_pass = 'epsilon'\n"
    "[NETWORK]\nallow_remote_updates = false\n";
const std::string kUnlockCommands =
    "sudo chattr -i installation.toml keywarden tarvemill_run\nchmod 644 installation.toml\n";
const std::string kLockCommands =
    "chmod 444 installation.toml\nsudo chattr +i installation.toml keywarden tarvemill_run\n";
const std::string kUpdateCommands =
    "sudo chattr -i tarvemill_run\ntar -xzf update.tar.gz\nsudo chattr +i tarvemill_run\n";
const std::string kVerify =
    "openssl dgst -sha256 -verify public_key.pem -signature vesk-update.XXXXXX/signature "
    "vesk-update.XXXXXX/package\n";
const std::string kTier2Blob =  // of the installation's device
    "v2:Dw4NDAsKCQgHBgUEAwIBAOSbIPeSx1BxelcEgG0pOOE5Y_5dAykm5cTP8p7uaZ0j";

// An open installation in a fresh folder, on a device whose cpuinfo, sysfs
// block folder, USB copy and scratch folder are in that folder too, with
// the master USB key plugged in and an update package at hand.
struct Installation : TempFolder {
  explicit Installation(const std::string& config = kConfig) {
    write("installation.toml", config);
    write("cpuinfo", "processor\t: 0\nSerial\t\t: 00000000c0ffee01\n");
    write("sda/device/serial", "USB-4C530001\n");
    write("update.tar.gz", "tarvemill 2.0");
    write("update.tar.gz.sig", "signature");
    machine.sealed = false;
  }

  // Sets up the device a row names, word by word.
  void stage(const std::string& words) {
    std::istringstream in(words);
    for (std::string word; in >> word;) {
      if (word == "sealed") machine.sealed = true;
      if (word == "no-drive") std::filesystem::remove_all(path / "sda");
      if (word == "no-cpuinfo") std::filesystem::remove(path / "cpuinfo");
      if (word == "usb-copy") write("usb/installation.toml", "admin_pass = usb\n");
      if (word == "remote") write("installation.toml", "allow_remote_updates = true\n");
      if (word == "remote") write("public_key.pem", "key");
      if (word == "full-disk") machine.write = WriteOutcome::kRestored;
      if (word == "unreadable") machine.config = Unexpected<ConfigReadError>{};
      if (word == "throwing") machine.on_run = [](auto&) { throw std::runtime_error("no editor"); };
      // A command that fails, spaces written as "_".
      if (word.starts_with("fail:")) {
        machine.failing.push_back(std::regex_replace(word.substr(5), std::regex("_"), " "));
      }
    }
  }

  // Runs the console on `input` in the installation's folder; returns what
  // it wrote to both streams and the commands, one a line, the folder's
  // path and the random part of temporary names taken out.
  std::array<std::string, 3> console(const std::string& input, std::ostream* out = nullptr,
                                     int terminal = -1) {
    const SecurityService security(base_key_bytes(), paths.hardware);
    std::istringstream in(input);
    std::ostringstream text;
    std::ostringstream err;
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(path);
    AdminTool(security, path / "installation.toml", ConsoleIo{in, out ? *out : text, err, terminal},
              machine, paths)
        .run();
    std::filesystem::current_path(before);
    std::string commands;
    for (const std::string& command : machine.commands) commands += command + "\n";
    return {text.str(), plain(err.str()), plain(commands)};
  }

  std::string plain(const std::string& text) const {
    static const std::regex kRandom(R"((\.installation\.toml|vesk-update)\.\w{6})");
    return std::regex_replace(std::regex_replace(text, std::regex(path.string() + "/"), ""),
                              kRandom, "$1.XXXXXX");
  }

  FakeMachine machine;
  const DevicePaths paths{.hardware = {path / "cpuinfo", path.string() + "/"},
                          .usb_config = path / "usb/installation.toml",
                          .scratch_dir = path};
};

TEST(Console, Flows) {
  const std::string huge = "[PASSES]\nadmin_pass = a\n#" + std::string(kMaxConfigBytes - 60, '#');
  const std::string blob = "[PASSES]\nsql_pass = " + kTier2Blob + "\n";
  std::string menus;
  for (int i = 0; i < 10; ++i) menus += kOpen;
  const struct {
    const char* name;
    std::string device, input, output, commands = "", err = "";
    std::string config = kConfig, config_after = kConfig;  // after: "" when not looked at
  } rows[] = {
      {"menu tokens; enrol without a drive, edit, open; Q exits", "no-drive",
       "00 q1 quit -1 8 2147483648 4294967297 +0 7 5\n4x\nQ 4",
       menus + "\n--- USB KEY ENROLLMENT ---\n" + line(kRed, "[-] No USB Drive found.") + kOpen +
           kNano + kOpen,
       "nano installation.toml\n"},
      {"edit, sealed; the PIN's line goes on; enrol; 0 exits", "sealed", "4\n1234 5\n0 4",
       kSealed + kAuthOk + kUnlock + kNano + "[*] Re-sealing configuration file...\n" + kLock +
           kSealed + "\n--- USB KEY ENROLLMENT ---\n[*] USB Serial Detected: " + kCyan +
           "USB-4C530001" + kReset + "\n" + line(kGreen, "[+] Key Authorized for Recovery.") +
           kSealed,
       kUnlockCommands + "nano installation.toml\n" + kLockCommands},
      {"stage 1, sealed", "sealed", "1\npin\n",
       kSealed + kAuthOk + kUnlock + policy(1) + "[*] System De-escalated (Mutable).\n" + kOpen,
       kUnlockCommands, "", kConfig, ""},
      {"stages 2 and 3, open", "", "+2 3",
       kOpen + policy(2) + kOpen + policy(2, 0) + kSealing +
           line(kGreen, "[+] System SEALED (Stage 3).") + kSealed,
       kLockCommands, "", kConfig, ""},
      {"stage 3, chattr fails", "fail:sudo_chattr_+i", "3",
       kOpen + policy(2) + kSealing + kLockFailed + kOpen, kLockCommands, "", kConfig, ""},
      {"stage 3, chmod fails", "fail:chmod", "3",
       kOpen + policy(2) + kSealing + kLockFailed + kSealed, kLockCommands, "", kConfig, ""},
      {"stage, edit, sealed, no drive; restore, sealed, neither drive nor file", "sealed no-drive",
       "2\n4\n6\n",
       kSealed + kAuth + line(kRed, "FAIL (Missing)") + kSealed + kAuth +
           line(kRed, "FAIL (Missing)") + kSealed + kRestore +
           line(kRed, "[-] Error: No USB Drive found.") + kSealed},
      {"stage 1, a full disk: the old content put back, no later key", "full-disk", "1",
       kOpen + policy(1, 1, kIncomplete) + kOpen, "",
       line(kRed, "[-] Error: Could not write installation.toml; its old content was put back")},
      {"stage 2, an unreadable configuration", "unreadable", "2",
       kOpen + policy(2, 0, kIncomplete) + kOpen, "",
       [] {
         std::string errors;
         for (int i = 0; i < 5; ++i)
           errors += line(kRed, "[-] Error: Could not open installation.toml");
         return errors;
       }()},
      // The blob of the other tier is opened first: with a cpuinfo that
      // cannot be read the key fails, the blob stays.
      {"stage 1, an unreadable cpuinfo", "no-cpuinfo", "1",
       kOpen + kCyan + "--- Applying Security Policy (v1) ---" + kReset +
           "\n    Encrypting sql_pass (v1)... " + line(kRed, "FAILED") + "\n" +
           line(kRed, kIncomplete) + kOpen,
       "", line(kRed, "[-] Error: cannot read cpuinfo"), blob, blob},
      {"stage 1 past the size limit", "", "1", kOpen + policy(1, 1, kIncomplete) + kOpen, "",
       line(kRed, "[-] Error: Could not write installation.toml: it would be larger than 16 MiB"),
       huge, huge},
      {"restore, sealed, no PIN", "sealed usb-copy", "6\n",
       kSealed + kSealedRestore + kPin + kSealed},
      {"restore, sealed", "sealed usb-copy", "6\npin\n",
       kSealed + kSealedRestore + kAuthOk + kUnlock + "[*] Restoring Configuration...\n" +
           line(kGreen, "[+] Restore Successful.") +
           "[*] You should now review settings (Option 4) or Seal (Option 3).\n" + kOpen,
       kUnlockCommands + "cp usb/installation.toml .installation.toml.XXXXXX\n", "", kConfig,
       "admin_pass = usb\n"},
      {"restore, the copy fails", "usb-copy fail:cp", "6",
       kOpen + kRestore + "[*] Restoring Configuration...\n" + line(kRed, "[-] Copy Failed.") +
           kOpen,
       "cp usb/installation.toml .installation.toml.XXXXXX\n"},
      {"restore without the drive's copy", "", "6",
       kOpen + kRestore + line(kRed, "[-] Error: installation.toml not found on USB.") + kOpen},
      // A shell would run two commands for the second package; keywarden
      // hands tar one argument.
      {"update, authenticated; extraction fails", "sealed fail:tar_-xzf_./-no",
       "7\nupdate.tar.gz\npin\n7\n-no;thing.tgz\npin\n",
       kSealed + update(false) + kAuthOk + applied() + kSealed + update(false) + kAuthOk +
           applied("[-] Update Failed.") + kSealed,
       kUpdateCommands +
           std::regex_replace(kUpdateCommands, std::regex("update.tar.gz"), "./-no;thing.tgz")},
      {"signed update: a bad signature; a missing file never reaches openssl",
       "sealed remote fail:openssl", "7\nupdate.tar.gz update.tar.gz.sig\n7\nupdate.tar.gz x\n",
       kSealed + update(true) + kAlert + kSealed + update(true) + kAlert + kSealed, kVerify, "",
       kConfig, ""},
      {"an operation that throws gives the menu back", "throwing", "4", kOpen + kNano + kOpen,
       "nano installation.toml\n", line(kRed, "[-] Error: no editor")},
  };
  for (const auto& row : rows) {
    Installation device(row.config);
    device.stage(row.device);
    const auto [out, err, commands] = device.console(row.input);
    EXPECT_EQ(out, row.output) << row.name;
    EXPECT_EQ(err, row.err) << row.name;
    EXPECT_EQ(commands, row.commands) << row.name;
    if (!row.config_after.empty()) {
      EXPECT_EQ(device.read("installation.toml"), row.config_after) << row.name;
    }
  }
}

// The bytes tar extracts are the bytes whose signature was verified: the
// operator's file is swapped right after it was copied. The private folder
// a killed run left goes, and so does the update's own; without the key,
// nothing is verified.
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
  EXPECT_EQ(out, kSealed + update(true) + line(kGreen, "[+] Signature VERIFIED. Package Trusted.") +
                     applied() + kSealed);
  EXPECT_EQ(commands, kVerify + std::regex_replace(kUpdateCommands, std::regex("update.tar.gz"),
                                                   "vesk-update.XXXXXX/package"));
  EXPECT_EQ(extracted, "tarvemill 2.0");
  for (const auto& entry : std::filesystem::directory_iterator(device.path)) {
    EXPECT_FALSE(entry.path().filename().string().starts_with("vesk-update.")) << entry.path();
  }
  std::filesystem::remove(device.path / "public_key.pem");
  EXPECT_EQ(device.console(input)[0],
            kSealed + update(true) + line(kRed, "[-] Error: public_key.pem not found.") + kSealed);
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
