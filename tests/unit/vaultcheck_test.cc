// vaultcheck's judgement on a device staged through Probes (what the
// daemon's replies mean, what the files may be), its report and its
// command line.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "fake_machine.h"
#include "security/base_key.h"
#include "vaultcheck/checks.h"
#include "vaultcheck/options.h"

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
    mode_t mode = 0;                                       // the configuration's permission bits
    std::optional<Immutability> immutable = std::nullopt;  // else: no protected file there
    std::string cpuinfo = "/dev/null";                     // read whole, no serial
    bool daemon = true;
  } rows[] = {
      {kPong, none, opens},  // the empty value
      {kPong, reply(Exchange::kAnswered, "ERR"), opens},
      {kPong, reply(Exchange::kAnswered, "pw"),
       "admin_pass: warn tier-1 blob (development key, opens on any device)",
       Secret("[PASSES]\nadmin_pass = v1:AAECAwQFBgcICQoLDA0OD664kzSMRj2X5tfdsZRK59E=")},
      {kPong, reply(Exchange::kAnswered, "ERR:DECRYPT_FAIL"), fails + "ERR:DECRYPT_FAIL)"},
      {kPong, reply(Exchange::kAnswered, "\xff\xfe"), fails + "reply is not a password)"},
      {none, none, unchecked},  // a user vaultd does not serve
      {kPong, reply(Exchange::kTimedOut), unchecked},
      {reply(Exchange::kRefused), none, "daemon-ping: fail no PONG: connection refused"},
      {reply(Exchange::kNoSocket), none, "daemon-ping: fail no PONG: no socket"},
      {reply(Exchange::kTimedOut), none, "daemon-ping: fail no PONG within 2 s"},
      {reply(Exchange::kDenied), none, "daemon-ping: fail no PONG: permission denied"},
      {none, none, "daemon-ping: fail no PONG: closed without a reply"},
      {kPong, none, "config: fail installation.toml is larger than 4096 bytes", kTooLarge},
      {kPong, none, "daemon-socket: fail vesk.sock: not a socket"},  // every file here is regular
      {kPong, none,
       "cpu-serial: fail UNKNOWN_CPU: no CPU serial, tier-2 keys would bind to nothing"},
      {kPong, none, "cpu-serial: fail cannot read /proc/cpuinfo", kConfig, 0, {}, "/nonexistent"},
      {kPong, none, fails + "cannot read /proc/cpuinfo)", kConfig, 0, {}, "/", false},
      {kPong, none, "remote-updates: fail on, but public_key.pem is missing",
       Secret("allow_remote_updates = true")},
      {kPong, none, "seal: ok installation.toml, keywarden, tarvemill_run immutable; mode 0444",
       kConfig, 0444, Immutability::kImmutable},
      {kPong, none,
       "seal: warn open: installation.toml, keywarden, tarvemill_run not immutable; mode 0644",
       kConfig, 0644, Immutability::kMutable},
      // Read-only without the immutable attribute (here: no protected file at all).
      {kPong, none,
       "seal: fail partly sealed: installation.toml (missing), keywarden (missing), tarvemill_run "
       "(missing) not immutable; mode 0444",
       kConfig, 0444}};
  for (const auto& row : rows) {
    const SecurityService service(base_key_bytes(), HardwarePaths{row.cpuinfo, "/sys/block/"});
    FakeMachine machine;
    machine.daemon = [&row](auto& request) { return request == "PING:" ? row.pong : row.value; };
    machine.config = row.config;
    machine.info = FileInfo{S_IFREG | row.mode};
    machine.immutable = row.immutable;
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

// A report in each form. The overall status is the worst; a check made on
// several lines (a key set twice) is one series with its worst status;
// every form escapes what it must.
TEST(Report, Forms) {
  const std::vector<Check> checks = {{"seal", Status::kWarn, "open", {}},
                                     {"sql_pass", Status::kFail, "q\"b\\ caf\xe9", 3},
                                     {"sql_pass", Status::kOk, "ok", 9}};
  EXPECT_EQ(render_text(checks),
            "warn  seal           open\nfail  sql_pass       line 3: q\"b\\ caf\xe9\n"
            "ok    sql_pass       line 9: ok\n");
  EXPECT_EQ(render_json("c", checks),
            "{\"status\": \"fail\", \"config\": \"c\", \"checks\": [{\"name\": \"seal\", "
            "\"status\": \"warn\", \"detail\": \"open\"}, {\"name\": \"sql_pass\", \"status\": "
            "\"fail\", \"detail\": \"q\\\"b\\\\ caf\\ufffd\", \"line\": 3}, {\"name\": "
            "\"sql_pass\", \"status\": \"ok\", \"detail\": \"ok\", \"line\": 9}]}\n");
  std::string series;
  std::istringstream metrics(render_prometheus(checks, 7));
  for (std::string line; std::getline(metrics, line);) {
    if (line.starts_with("vesk_")) series += line + "\n";
  }
  EXPECT_EQ(series,
            "vesk_vaultcheck_status 2\nvesk_vaultcheck_check_status{check=\"seal\"} 1\n"
            "vesk_vaultcheck_check_status{check=\"sql_pass\"} 2\n"
            "vesk_vaultcheck_last_run_timestamp_seconds 7\n");
  EXPECT_EQ(prometheus_label("q\"b\\n\n"), "q\\\"b\\\\n\\n");
}

// The command line: the later of --json and --prometheus counts; a value
// is never taken from past the end.
TEST(Options, CommandLines) {
  const struct {
    std::vector<std::string> args;
    std::string error;  // "" when usable
    ReportFormat format = ReportFormat::kText;
  } rows[] = {{{"--json", "--prometheus"}, "", ReportFormat::kPrometheus},
              {{"--frob"}, "vaultcheck: unknown option '--frob' (see vaultcheck --help)"},
              {{"x"}, "vaultcheck: unexpected argument 'x' (see vaultcheck --help)"},
              {{"--output"}, "vaultcheck: missing value for '--output' (see vaultcheck --help)"}};
  for (const auto& row : rows) {
    const ParsedOptions parsed = parse_options(row.args);
    EXPECT_EQ(parsed.error.value_or(""), row.error);
    EXPECT_EQ(parsed.options.format, row.format);
  }
}

}  // namespace
}  // namespace vesk
