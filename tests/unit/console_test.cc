// keywarden's dialogues, each once, exactly: what the operator sees, what
// goes to the error stream and every outside command's argument vector, on
// an installation in a temp folder and a machine that fails any call a row
// names. tests/system runs the real program where only the real system
// will do: the terminal's signals, chattr, openssl and tar.
//
// Wiping: whole operations of the three programs, with every block they
// give back to the heap searched for the secrets they handled: a password
// (long enough that a std::string would keep it on the heap), typed once
// as the PIN too, the CPU serial and the tier-2 key made from it. This file
// replaces the global new and delete for it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "config/config_file.h"
#include "console/admin_tool.h"
#include "daemon/request_protocol.h"
#include "fake_machine.h"
#include "security/unique_fd.h"
#include "vaultcheck/checks.h"

namespace {

std::vector<std::string> secrets;  // filled before watching starts
bool watching = false;
std::ptrdiff_t blocks_with_a_secret = 0;

void release(void* block) noexcept {
  if (watching && block != nullptr) {
    watching = false;  // the search itself allocates nothing; stay safe anyway
    const std::size_t size = malloc_usable_size(block);
    blocks_with_a_secret += std::count_if(secrets.begin(), secrets.end(), [&](const auto& secret) {
      return memmem(block, size, secret.data(), secret.size()) != nullptr;
    });
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

namespace fs = std::filesystem;

const std::string kConfig =
    "# Tarvemill installation\n[PASSES]\nadmin_pass = \"alpha\"\nfrp_pass = beta # relay\n"
    "  smtp_pass1 = \"gamma\"\nsmtp_pass2=\"delta\"   # second\nsql_pass = 'epsilon'\n"
    "[NETWORK]\nallow_remote_updates = false\n";

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// What a console session came to: the output, the error stream and the
// calls, with the folder's path and the random part of temporary names
// taken out.
struct Session {
  std::string out, err;
  std::vector<CommandLine> calls;
};

// An open installation in a fresh folder, on a device whose cpuinfo, USB
// drive and copy, and scratch folder are in that folder too, with an
// update package, its signature and the public key at hand.
struct Installation : FakeDevice {
  explicit Installation(const std::string& config = kConfig) {
    umask(022);  // a configuration made anew gets the copy's mode less the umask: 0644
    write("installation.toml", config);
    write("usb/installation.toml", "admin_pass = usb\n");
    write("update.tar.gz", "tarvemill 2.0");
    write("update.tar.gz.sig", "signature");
    write("public_key.pem", "key");
    fs::permissions(path / "usb/installation.toml", fs::perms(0666));
  }

  // Sets up what a row's words name; "fail:" names a call that fails, its
  // words joined by "_".
  void stage(const std::string& names) {
    for (const std::string& word : words(names)) {
      if (word == "sealed") machine.sealed = true;
      if (word == "no-drive") fs::remove_all(path / "sda");
      if (word == "no-copy") fs::remove_all(path / "usb");
      if (word == "no-config") fs::remove(path / "installation.toml");
      if (word == "no-cpuinfo") fs::remove(path / "cpuinfo");
      if (word == "remote") write("installation.toml", "allow_remote_updates = true\n");
      if (word == "no-key") fs::remove(path / "public_key.pem");
      if (word == "full-disk") machine.write = WriteOutcome::kRestored;
      if (word == "not-synced") machine.write = WriteOutcome::kNotSynced;
      if (word == "unreadable") machine.config = Unexpected{ConfigReadError::kUnreadable};
      if (word == "throwing") machine.on_run = [](auto&) { throw std::runtime_error("no editor"); };
      if (word.starts_with("fail:")) {
        machine.failing.push_back(words(std::regex_replace(word.substr(5), std::regex("_"), " ")));
      }
    }
  }

  // Runs the console on `input` in the installation's folder.
  Session console(const std::string& input) {
    const SecurityService security = service();
    std::istringstream in(input);
    std::ostringstream text, err;
    const fs::path before = fs::current_path();
    fs::current_path(path);
    AdminTool(security, "installation.toml", ConsoleIo{in, text, err}, machine, paths).run();
    fs::current_path(before);
    Session session{text.str(), plain(err.str()), machine.calls};
    for (CommandLine& call : session.calls) {
      for (std::string& word : call) word = plain(word);
    }
    return session;
  }
  std::string plain(const std::string& text) const {
    static const std::regex kRandom(R"((\.installation\.toml|vesk-update)\.\w{6})");
    return std::regex_replace(std::regex_replace(text, std::regex(path.string() + "/"), ""),
                              kRandom, "$1.XXXXXX");
  }

  FakeMachine machine;
};

// A line in a colour: 31 red, 32 green, 33 yellow, 36 cyan.
std::string in(int colour, const std::string& text) {
  return "\x1b[01;" + std::to_string(colour) + "m" + text + "\x1b[00m\n";
}
std::string menu(bool sealed) {
  return "\n" +
         in(36, std::string("VESK TARVEMILL - ADMIN v3.3 \x1b[01;3") +
                    (sealed ? "1m[SEALED]" : "2m[OPEN]")) +
         "1. Stage 1: Provision (Dev Key)\n2. Stage 2: Localize (CPU Bound)\n3. Stage 3: Seal "
         "(Immutable + USB Auth)\n4. Edit Configuration (Nano)\n5. Enroll USB Master Key\n6. "
         "Restore Config from USB\n" +
         (sealed ? "7. Update Application Code (Signed)\n" : "   (Use SCP for Updates)\n") +
         "0. Exit (or 'q')\nSelection: ";
}
// Stage `tier`'s report: a line for each of the first `keys` passwords, then `end`.
std::string policy(int tier, int keys = 5, const std::string& end = "") {
  const std::string v = " (v" + std::to_string(tier) + ")";
  std::string text = in(36, "--- Applying Security Policy" + v + " ---");
  for (const char* key : {"admin_pass", "frp_pass", "smtp_pass1", "smtp_pass2", "sql_pass"}) {
    if (keys-- > 0) text += "    Encrypting " + std::string(key) + v + "... " + in(32, "DONE");
  }
  return text + "\n" + (end.empty() ? in(32, "[+] Data Hardened.") : in(31, end));
}
std::string update(bool remote) {
  return in(36, "\n--- PRODUCTION SYSTEM UPDATE ---") +
         "Remote Updates Allowed: " + in(remote ? 32 : 31, remote ? "YES" : "NO") +
         "Enter Package Path (.tar.gz): " +
         (remote ? "Enter Signature Path (.sig): [*] Verifying Digital Signature...\n"
                 : in(33, "[!] Remote updates disabled. Physical Auth required."));
}
std::string update_calls(const std::string& package, bool extracted = true) {
  return "sudo chattr -i tarvemill_run\ntar -xzf " + package + "\n" +
         (extracted ? "syncfs tarvemill_run\n" : "") +
         "sudo chattr +i tarvemill_run\nsyncfs tarvemill_run\n";
}
const std::string kIncomplete = "[-] Error: Security Policy Incomplete.";
const std::string kLocked =
    in(31, "\n[LOCKED] Authenticating Admin...") + "[*] Checking for Master USB Key... ";
const std::string kLock = "[*] Locking System Files (Immutable)...\n";
const std::string kApplying = "[*] Unlocking Application Binary ONLY...\n[*] Applying Update...\n";
const std::string kRestore =
    in(36, "\n--- DISASTER RECOVERY ---") +
    "This will overwrite the current configuration with the one from USB.\n";
const std::string kEnrol = "\n--- USB KEY ENROLLMENT ---\n";
const std::string kFiles = " installation.toml keywarden tarvemill_run\n";
const std::string kEio = std::make_error_code(std::errc::io_error).message();

// What the operator sees, by name; "!" names what goes to the error stream,
// "$" the calls, one a line.
const std::map<std::string, std::string> kTexts = {
    {"open", menu(false)},
    {"sealed", menu(true)},
    {"auth", kLocked + in(32, "FOUND") + "[*] Enter Admin PIN: " + in(32, "[+] Access Granted.")},
    {"auth-no-pin", kLocked + in(32, "FOUND") + "[*] Enter Admin PIN: "},
    {"auth-no-drive", kLocked + in(31, "FAIL (Missing)")},
    {"unlock", "[*] Unlocking System Files (Mutable)...\n"},
    {"re-seal", "[*] Re-sealing configuration file...\n" + kLock},
    {"seal", "[*] Sealing System (Immutable Mode)...\n" + kLock},
    {"sealed-ok", in(32, "[+] System SEALED (Stage 3).")},
    {"lock-failed", in(31, "[-] Error: Locking Failed.")},
    {"nano", in(32, "[+] Launching Nano...")},
    {"v1", policy(1)},
    {"v2", policy(2)},
    {"v2-nothing", policy(2, 0)},
    {"v1-one-incomplete", policy(1, 1, kIncomplete)},
    {"v2-incomplete", policy(2, 0, kIncomplete)},
    {"v1-failed", in(36, "--- Applying Security Policy (v1) ---") +
                      "    Encrypting sql_pass (v1)... " + in(31, "FAILED") + "\n" +
                      in(31, kIncomplete)},
    {"de-escalated", "[*] System De-escalated (Mutable).\n"},
    {"enrol", kEnrol + "[*] USB Serial Detected: \x1b[01;36mUSB-4C530001\x1b[00m\n" +
                  in(32, "[+] Key Authorized for Recovery.")},
    {"enrol-no-drive", kEnrol + in(31, "[-] No USB Drive found.")},
    {"restore", kRestore},
    {"restore-sealed", kRestore + in(33, "[!] System is Sealed. Auth required to overwrite.")},
    {"restore-no-drive", kRestore + in(31, "[-] Error: No USB Drive found.")},
    {"restore-no-copy", kRestore + in(31, "[-] Error: installation.toml not found on USB.")},
    {"restored", "[*] Restoring Configuration...\n" + in(32, "[+] Restore Successful.") +
                     "[*] You should now review settings (Option 4) or Seal (Option 3).\n"},
    {"copy-failed", "[*] Restoring Configuration...\n" + in(31, "[-] Copy Failed.")},
    {"update", update(false)},
    {"update-signed", update(true)},
    {"verified", in(32, "[+] Signature VERIFIED. Package Trusted.")},
    {"alert", in(31, "[-] ALERT: Signature Verification FAILED.")},
    {"no-key", in(31, "[-] Error: public_key.pem not found.")},
    {"applied", kApplying + in(32, "[+] Update Successful.")},
    {"not-applied", kApplying + in(31, "[-] Update Failed.")},
    {"!no-editor", in(31, "[-] Error: no editor")},
    {"!unreadable", in(31, "[-] Error: Could not open installation.toml")},
    {"!put-back",
     in(31, "[-] Error: Could not write installation.toml; its old content was put back")},
    {"!not-synced", in(31,
                       "[-] Error: Could not write installation.toml to disk; its new content "
                       "may not survive a power cut")},
    {"!too-large",
     in(31, "[-] Error: Could not write installation.toml: it would be larger than 4096 bytes")},
    {"!no-cpuinfo", in(31, "[-] Error: cannot read cpuinfo")},
    {"!no-sync-config", in(31, "[-] Error: Could not sync installation.toml to disk: " + kEio)},
    {"!no-sync-app", in(31, "[-] Error: Could not sync tarvemill_run to disk: " + kEio)},
    {"!no-removal", in(31, "[-] Error: Could not remove vesk-update.XXXXXX: " + kEio)},
    {"$unlock", "sudo chattr -i" + kFiles + "chmod 644 installation.toml\n"},
    {"$lock", "chmod 444 installation.toml\nsudo chattr +i" + kFiles},
    {"$synced", "syncfs installation.toml\nsyncfs keywarden\nsyncfs tarvemill_run\n"},
    {"$sync-config", "syncfs installation.toml\n"},
    {"$nano", "nano installation.toml\n"},
    {"$cp", "cp usb/installation.toml .installation.toml.XXXXXX\n"},
    {"$cp-anew", "cp usb/installation.toml ./.installation.toml.XXXXXX\n"},
    {"$verify",
     "openssl dgst -sha256 -verify public_key.pem -signature vesk-update.XXXXXX/signature "
     "vesk-update.XXXXXX/package\n"},
    {"$update", update_calls("update.tar.gz")},
    {"$update-odd", update_calls("./-no;thing.tgz", false)},
    {"$update-private", update_calls("vesk-update.XXXXXX/package")},
};
// The session `names` stand for, in order within each stream.
Session expected(const std::string& names) {
  Session session;
  for (const std::string& name : words(names)) {
    const std::string& text = kTexts.at(name);
    if (name[0] == '!') session.err += text;
    if (name[0] != '$' && name[0] != '!') session.out += text;
    std::istringstream lines(name[0] == '$' ? text : "");
    for (std::string line; std::getline(lines, line);) session.calls.push_back(words(line));
  }
  return session;
}

TEST(Console, Flows) {
  const std::string huge = "[PASSES]\nadmin_pass = a\n#" + std::string(4096 - 40, '#');
  const std::string tier2 =  // a tier-2 blob, whatever device it is from
      "[PASSES]\nsql_pass = v2:Dw4NDAsKCQgHBgUEAwIBAOSbIPeSx1BxelcEgG0pOOE5Y_5dAykm5cTP8p7uaZ0j\n";
  const struct {
    const char* name;
    std::string device, input, session;
    std::string after = "=", config = kConfig;  // after: "=" as before the run, "" not looked at
  } rows[] = {
      {"tokens that select nothing, then no input", "", "00 0x4 q1 quit -1 8 2147483648 +0 7",
       "open open open open open open open open open open"},
      {"enrol without a drive", "no-drive", "5", "open enrol-no-drive open"},
      {"4x edits; a throw gives the menu back; Q exits", "throwing", "4x\nQ 4",
       "open nano open $nano !no-editor"},
      {"edit, sealed; the PIN's line goes on; 0 exits", "sealed", "4\n1234 5\n0 4",
       "sealed auth unlock nano re-seal sealed enrol sealed $unlock $nano $lock $synced"},
      {"stage 1, sealed", "sealed", "1\npin\n", "sealed auth unlock v1 de-escalated open $unlock",
       ""},
      {"stages 2 and 3, open", "", "+2 3",
       "open v2 open v2-nothing seal sealed-ok sealed $lock $synced", ""},
      {"seal, chattr fails", "fail:sudo_chattr_+i", "3", "open v2 seal lock-failed open $lock", ""},
      {"seal, chmod fails", "fail:chmod", "3", "open v2 seal lock-failed sealed $lock", ""},
      {"seal, not synced", "fail:syncfs", "3",
       "open v2 seal lock-failed sealed $lock $sync-config !no-sync-config", ""},
      {"stage and edit, sealed, no drive", "sealed no-drive", "2\n4\n",
       "sealed auth-no-drive sealed auth-no-drive sealed"},
      {"full disk: old content back, no later key", "full-disk", "1",
       "open v1-one-incomplete open !put-back"},
      {"not synced: no later key", "not-synced", "1", "open v1-one-incomplete open !not-synced"},
      {"stage, unreadable configuration", "unreadable", "2",
       "open v2-incomplete open !unreadable !unreadable !unreadable !unreadable !unreadable"},
      // The blob of the other tier is opened first: with a cpuinfo that
      // cannot be read the key fails, the blob stays.
      {"stage, unreadable cpuinfo", "no-cpuinfo", "1", "open v1-failed open !no-cpuinfo", "=",
       tier2},
      {"stage past the size limit", "", "1", "open v1-one-incomplete open !too-large", "=", huge},
      {"restore, neither drive nor copy", "no-drive no-copy", "6", "open restore-no-drive open"},
      {"restore, no copy", "no-copy", "6", "open restore-no-copy open"},
      {"restore, sealed, no PIN", "sealed", "6\n", "sealed restore-sealed auth-no-pin sealed"},
      {"restore, sealed", "sealed", "6\npin\n",
       "sealed restore-sealed auth unlock restored open $unlock $cp", "admin_pass = usb\n"},
      {"restore, missing (so sealed)", "no-config", "6\npin\n",
       "sealed restore-sealed auth unlock restored open $unlock $cp-anew", "admin_pass = usb\n"},
      {"restore, cp fails", "fail:cp", "6", "open restore copy-failed open $cp"},
      // A shell would run two commands for the second package; keywarden
      // hands tar one argument.
      {"update; extraction fails", "sealed fail:tar_-xzf_./-no;thing.tgz",
       "7\nupdate.tar.gz\npin\n7\n-no;thing.tgz\npin\n",
       "sealed update auth applied sealed update auth not-applied sealed $update $update-odd"},
      {"update, missing configuration", "sealed no-config", "7\nupdate.tar.gz\npin\n",
       "sealed update auth applied sealed $update", ""},
      {"update, unreadable configuration", "sealed unreadable", "7\n", "sealed sealed !unreadable"},
      {"update, not synced", "sealed fail:syncfs", "7\nupdate.tar.gz\npin\n",
       "sealed update auth not-applied lock-failed sealed $update !no-sync-app !no-sync-app"},
      {"signed: bad signature; a missing file never reaches openssl", "sealed remote fail:openssl",
       "7\nupdate.tar.gz update.tar.gz.sig\n7\nupdate.tar.gz x\n",
       "sealed update-signed alert sealed update-signed alert sealed $verify"},
      {"signed, no key", "sealed remote no-key", "7\nupdate.tar.gz x.sig\n",
       "sealed update-signed no-key sealed"},
      {"signed, its folder stays", "sealed remote fail:remove",
       "7\nupdate.tar.gz update.tar.gz.sig\n",
       "sealed update-signed verified applied sealed $verify $update-private !no-removal"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Installation device(row.config);
    device.stage(row.device);
    const std::string before = device.read("installation.toml");
    const Session session = device.console(row.input), wanted = expected(row.session);
    EXPECT_EQ(session.out, wanted.out);
    EXPECT_EQ(session.err, wanted.err);
    EXPECT_EQ(session.calls, wanted.calls);
    if (!row.after.empty()) {
      EXPECT_EQ(device.read("installation.toml"), row.after == "=" ? before : row.after);
      EXPECT_EQ(fs::status(device.path / "installation.toml").permissions(), fs::perms(0644));
    }
  }
}

TEST(ProcessRunner, ExitStatuses) {
  // The console ignores Ctrl-C while a command runs; the command does not.
  EXPECT_EQ(run_process({"sh", "-c", "kill -INT $PPID"}, CommandOutput::kDiscard), 0);
  EXPECT_EQ(run_process({"sh", "-c", "kill -INT $$"}, CommandOutput::kDiscard), 128 + SIGINT);
  EXPECT_EQ(run_process({"/nonexistent/program"}, CommandOutput::kDiscard), 127);
  // A signal that interrupts the wait does not end it before the command.
  struct sigaction interrupt {};
  struct sigaction saved {};
  interrupt.sa_handler = [](int /*signal*/) {};
  sigaction(SIGUSR1, &interrupt, &saved);
  const CommandLine interrupted = {"sh", "-c", "sleep 0.1; kill -USR1 $PPID; sleep 0.1; exit 3"};
  EXPECT_EQ(run_process(interrupted, CommandOutput::kDiscard), 3);
  sigaction(SIGUSR1, &saved, nullptr);
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

TEST(Wiping, NoSecretInFreedMemoryAfterWholeOperations) {
  const std::string password = "Pw-7e1f0c-9a4b2d8";
  const std::string serial = "00000000c0ffee01";  // the device's
  Installation device("[PASSES]\nadmin_pass = \"" + password + "\"\nsql_pass = " + password +
                      " # twice\nadmin_pass = " + password + "\n" + std::string(100, '#') +
                      "\nallow_remote_updates = true\n");
  const SecurityService service = device.service();
  const SecureBytes key = service.keys.derive(2, "");
  secrets = {password, serial, std::string(key.begin(), key.end())};
  const Unvaulter unvault = [&service](std::string_view blob, int tier) {
    return service.cipher.unvault(blob, tier, "");
  };
  device.machine.daemon = [&unvault](const std::string& request) {
    return DaemonReply{Exchange::kAnswered, *reply_to_request(request, unvault)};
  };
  const Probes probes{.service = service, .machine = device.machine};
  const std::string config = device.path / "installation.toml";
  // The streams hold the PIN before and after: they are the terminal's.
  std::istringstream stages("1\n2\n0\n");
  std::istringstream update_and_restore("7\npackage signature\n6\n" + password + "\n0\n");
  std::ostringstream output;

  watching = true;
  AdminTool(service, config, ConsoleIo{stages, output, output}, device.machine, device.paths).run();
  std::vector<Check> checks = run_checks(config, "vesk.sock", probes);
  for (const Check& check : run_checks(config, std::nullopt, probes)) checks.push_back(check);
  device.machine.sealed = true;
  // The update scans the configuration for its remote-updates setting.
  AdminTool(service, config, ConsoleIo{update_and_restore, output, output}, device.machine,
            device.paths)
      .run();
  watching = false;

  EXPECT_EQ(blocks_with_a_secret, 0);
  // The operations did their work (six tier-2 blobs that open, the update's
  // scan, a restore), and no check's detail shows a secret.
  int opened = 0;
  for (const Check& check : checks) {
    opened += check.detail.starts_with("tier-2 blob, ") ? 1 : 0;
    for (const std::string& secret : {password, serial, std::string("USB-4C530001")}) {
      EXPECT_EQ(check.detail.find(secret), std::string::npos) << check.detail;
    }
  }
  EXPECT_EQ(opened, 6) << output.str();
  EXPECT_NE(output.str().find("Remote Updates Allowed: \x1b[01;32mYES"), std::string::npos);
  EXPECT_NE(output.str().find("[+] Restore Successful."), std::string::npos);
}

}  // namespace
}  // namespace vesk
