// vaultcheck's judgement on a device staged through Probes: what the
// daemon's replies mean and what the configuration file may be.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "security/base_key.h"
#include "vaultcheck/checks.h"

namespace vesk {
namespace {

const std::string kBlob = "v2:Dw4NDAsKCQgHBgUEAwIBAOSbIPeSx1BxelcEgG0pOOE5Y_5dAykm5cTP8p7uaZ0j";
DaemonReply reply(Exchange outcome, const char* bytes = "") { return {outcome, bytes}; }
const DaemonReply kPong = reply(Exchange::kAnswered, "PONG");

// A table of devices staged through Probes: a configuration that reads as
// `config`, a daemon that answers PING with `pong` and UNVAULT with `value`.
TEST(Vaultcheck, DaemonRepliesAndTheConfiguration) {
  const DaemonReply none = reply(Exchange::kAnswered);
  const std::string opens = "admin_pass: ok tier-2 blob, vaultd opens it";
  const std::string fails = "admin_pass: fail tier-2 blob does not open on this device (";
  const struct {
    DaemonReply pong, value;
    std::string check;  // "<name>: <status> <detail>"
    ConfigRead config = {"[PASSES]\nadmin_pass = " + kBlob};
  } rows[] = {
      {kPong, none, opens},  // the empty value
      {kPong, reply(Exchange::kAnswered, "ERR"), opens},
      {kPong, reply(Exchange::kAnswered, "ERR:DECRYPT_FAIL"), fails + "ERR:DECRYPT_FAIL)"},
      {kPong, reply(Exchange::kAnswered, "\xff\xfe"), fails + "reply is not a password)"},
      {none, none, fails + "no reply)"},  // a user vaultd does not serve
      {kPong, reply(Exchange::kTimedOut), fails + "no reply)"},
      {reply(Exchange::kRefused), none, "daemon-ping: fail no PONG: connection refused"},
      {reply(Exchange::kNoSocket), none, "daemon-ping: fail no PONG: no socket"},
      {reply(Exchange::kTimedOut), none, "daemon-ping: fail no PONG within 2 s"},
      {none, none, "daemon-ping: fail no PONG: closed without a reply"},
      {kPong, none, "config: fail installation.toml is larger than 16 MiB", {std::nullopt, true}},
  };
  const SecurityService service(kShadowKeysPath, base_key_bytes(), HardwarePaths{"/nonexistent"});
  for (const auto& row : rows) {
    const Probes probes{
        .service = service,
        .ask_daemon = [&row](auto& request) { return request == "PING:" ? row.pong : row.value; },
        .read_file = [&row](auto&) { return row.config; },
        .file_info = [](auto&, bool) { return FileInfo{S_IFREG}; }};
    const std::string name = row.check.substr(0, row.check.find(':'));
    std::string found;  // every check of that name, so a missing one fails too
    for (const Check& check : run_checks("installation.toml", "vesk.sock", probes)) {
      if (check.name == name) found += name + ": " + status_name(check.status) + " " + check.detail;
    }
    EXPECT_EQ(found, row.check);
  }
}

}  // namespace
}  // namespace vesk
