// vaultcheck's judgement on a device staged through Probes: what the
// daemon's replies mean and what the configuration file may be.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "security/base_key.h"
#include "vaultcheck/checks.h"

namespace vesk {
namespace {

const std::string kBlob = "v2:Dw4NDAsKCQgHBgUEAwIBAOSbIPeSx1BxelcEgG0pOOE5Y_5dAykm5cTP8p7uaZ0j";
const DaemonReply kPong{Exchange::kAnswered, "PONG"};

// The checks of a device whose configuration holds kBlob as admin_pass,
// whose daemon answers PING with `pong` and UNVAULT with `value`.
std::map<std::string, Check> checks_of(const DaemonReply& pong, const DaemonReply& value,
                                       ConfigRead config = {"[PASSES]\nadmin_pass = " + kBlob}) {
  const SecurityService service(kShadowKeysPath, base_key_bytes(), HardwarePaths{"/nonexistent"});
  const Probes probes{
      .service = service,
      .ask_daemon = [&](const std::string& request) { return request == "PING:" ? pong : value; },
      .read_file = [&config](const std::string&) { return config; },
      .file_info =
          [](const std::string&, bool) {
            return FileInfo{S_IFREG | 0644, 0, 0};
          }};
  std::map<std::string, Check> by_name;
  for (Check& check : run_checks("installation.toml", "vesk.sock", probes)) {
    by_name.emplace(check.name, std::move(check));
  }
  return by_name;
}

TEST(Vaultcheck, DaemonReplies) {
  const DaemonReply none{Exchange::kAnswered, ""};
  const std::string opens = "ok tier-2 blob, vaultd opens it";
  const std::string fails = "fail tier-2 blob does not open on this device (";
  const struct {
    DaemonReply pong, value;
    std::string check;  // "<name>: <status> <detail>"
  } rows[] = {
      {kPong, {Exchange::kAnswered, "pw"}, "admin_pass: " + opens},
      {kPong, none, "admin_pass: " + opens},  // the empty value
      {kPong, {Exchange::kAnswered, "ERR"}, "admin_pass: " + opens},
      {kPong,
       {Exchange::kAnswered, "ERR:DECRYPT_FAIL"},
       "admin_pass: " + fails + "ERR:DECRYPT_FAIL)"},
      {kPong,
       {Exchange::kAnswered, "\xff\xfe"},
       "admin_pass: " + fails + "reply is not a password)"},
      {none, none, "admin_pass: " + fails + "no reply)"},  // a user vaultd does not serve
      {kPong, {Exchange::kTimedOut, ""}, "admin_pass: " + fails + "no reply)"},
      {{Exchange::kRefused, ""}, {}, "daemon-ping: fail no PONG: connection refused"},
      {{Exchange::kNoSocket, ""}, {}, "daemon-ping: fail no PONG: no socket"},
      {{Exchange::kTimedOut, ""}, {}, "daemon-ping: fail no PONG within 2 s"},
      {none, {}, "daemon-ping: fail no PONG: closed without a reply"},
  };
  for (const auto& row : rows) {
    const std::string name = row.check.substr(0, row.check.find(':'));
    const Check check = checks_of(row.pong, row.value).at(name);
    EXPECT_EQ(name + ": " + status_name(check.status) + " " + check.detail, row.check);
  }
}

TEST(Vaultcheck, ConfigurationTooLarge) {
  const Check config = checks_of(kPong, {}, ConfigRead{std::nullopt, true}).at("config");
  EXPECT_EQ(status_name(config.status) + " " + config.detail,
            "fail installation.toml is larger than 16 MiB");
}

}  // namespace
}  // namespace vesk
