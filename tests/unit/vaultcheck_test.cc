// vaultcheck's judgement on a device staged through Probes (what the
// daemon's replies mean, what the files may be), and its daemon client.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "fake_machine.h"
#include "security/base_key.h"
#include "security/file_io.h"
#include "security/unique_fd.h"
#include "vaultcheck/checks.h"

namespace vesk {
namespace {

const std::string kBlob = "v2:Dw4NDAsKCQgHBgUEAwIBAOSbIPeSx1BxelcEgG0pOOE5Y_5dAykm5cTP8p7uaZ0j";
DaemonReply reply(Exchange outcome, const char* bytes = "") { return {outcome, Secret(bytes)}; }
const DaemonReply kPong = reply(Exchange::kAnswered, "PONG");
const ConfigRead kConfig = Secret("[PASSES]\nadmin_pass = " + kBlob);
const ConfigRead kTooLarge = Unexpected<ConfigReadError>{ConfigReadError::kTooLarge};

// A table of devices staged through Probes: a configuration that reads as
// `config`, a daemon that answers PING with `pong` and UNVAULT with `value`.
TEST(Vaultcheck, DaemonRepliesAndTheConfiguration) {
  const DaemonReply none = reply(Exchange::kAnswered);
  const std::string opens = "admin_pass: ok tier-2 blob, vaultd opens it";
  const std::string fails = "admin_pass: fail tier-2 blob does not open on this device (";
  const std::string unchecked = "admin_pass: fail tier-2 blob not checked: vaultd did not answer";
  const struct {
    DaemonReply pong, value;
    std::string check;  // "<name>: <status> <detail>"
    ConfigRead config = kConfig;
    std::string cpuinfo = "/dev/null";  // read whole, no serial
    bool daemon = true;
    mode_t mode = 0;  // the configuration's permission bits
  } rows[] = {
      {kPong, none, opens},  // the empty value
      {kPong, reply(Exchange::kAnswered, "ERR"), opens},
      {kPong, reply(Exchange::kAnswered, "ERR:DECRYPT_FAIL"), fails + "ERR:DECRYPT_FAIL)"},
      {kPong, reply(Exchange::kAnswered, "\xff\xfe"), fails + "reply is not a password)"},
      {none, none, unchecked},  // a user vaultd does not serve
      {kPong, reply(Exchange::kTimedOut), unchecked},
      {reply(Exchange::kRefused), none, "daemon-ping: fail no PONG: connection refused"},
      {reply(Exchange::kNoSocket), none, "daemon-ping: fail no PONG: no socket"},
      {reply(Exchange::kTimedOut), none, "daemon-ping: fail no PONG within 2 s"},
      {none, none, "daemon-ping: fail no PONG: closed without a reply"},
      {kPong, none, "config: fail installation.toml is larger than 16 MiB", kTooLarge},
      {kPong, none, "daemon-socket: fail vesk.sock: not a socket"},  // every file here is regular
      {kPong, none,
       "cpu-serial: fail UNKNOWN_CPU: no CPU serial, tier-2 keys would bind to nothing"},
      {kPong, none, "cpu-serial: fail cannot read /proc/cpuinfo", kConfig, "/nonexistent"},
      {kPong, none, fails + "cannot read /proc/cpuinfo)", kConfig, "/", false},
      {kPong, none, "remote-updates: fail on, but public_key.pem is missing",
       Secret("allow_remote_updates = true")},
      // Read-only without the immutable attribute (here: no protected file at all).
      {kPong, none,
       "seal: fail partly sealed: installation.toml (missing), keywarden (missing), tarvemill_run "
       "(missing) not immutable; mode 0444",
       kConfig, "/dev/null", true, 0444}};
  for (const auto& row : rows) {
    const SecurityService service(base_key_bytes(), HardwarePaths{row.cpuinfo, "/sys/block/"});
    FakeMachine machine;
    machine.daemon = [&row](auto& request) { return request == "PING:" ? row.pong : row.value; };
    machine.config = row.config;
    machine.info = FileInfo{S_IFREG | row.mode};
    const Probes probes{.service = service, .machine = machine};
    const std::string name = row.check.substr(0, row.check.find(':'));
    std::string found;  // every check of that name, so a missing one fails too
    for (const Check& check : run_checks(
             "installation.toml", row.daemon ? std::optional("vesk.sock") : std::nullopt, probes)) {
      if (check.name == name) found += name + ": " + status_name(check.status) + " " + check.detail;
    }
    EXPECT_EQ(found, row.check);
  }
}

// Label values and JSON strings escaped as their formats require.
TEST(Report, Escaping) {
  EXPECT_EQ(prometheus_label("q\"b\\n\n"), "q\\\"b\\\\n\\n");
  EXPECT_EQ(json_string("no \"such\"\\ caf\xe9"), "\"no \\\"such\\\"\\\\ caf\\ufffd\"");
}

// A daemon that accepts (its backlog does) and never answers costs 2 s; no
// socket and a file that is no socket are told apart from it.
TEST(DaemonClient, GivesUpAfterTwoSecondsAndSaysWhy) {
  const TempFolder folder;
  const std::string listening = folder.path / "silent.sock";
  sockaddr_un address = *unix_socket_address(listening);
  const UniqueFd silent(socket(AF_UNIX, SOCK_STREAM, 0));
  ASSERT_EQ(bind(silent.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(silent.get(), 5), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ask_daemon(listening, "PING:").outcome, Exchange::kTimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_EQ(ask_daemon(folder.path / "none.sock", "PING:").outcome, Exchange::kNoSocket);
  folder.write("file", "");
  EXPECT_EQ(ask_daemon(folder.path / "file", "PING:").outcome, Exchange::kRefused);  // no socket
}

}  // namespace
}  // namespace vesk
