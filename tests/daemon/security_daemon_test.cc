#include "daemon/security_daemon.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/daemon/daemon_harness.h"
#include "tests/support/openssl_cli.h"
#include "tests/support/row_name.h"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using testing::ask;
using testing::ChildProcess;
using testing::DaemonOptions;

// Lowers the descriptor limit to the lowest free descriptor, so that the
// next socket or accept fails with EMFILE.
void use_up_descriptors() {
  const int lowest_free = ::open("/dev/null", O_RDONLY);
  ::close(lowest_free);
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = static_cast<rlim_t>(lowest_free);
  setrlimit(RLIMIT_NOFILE, &limit);
}

// User plus system CPU time of `pid`, in clock ticks.
long cpu_ticks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::vector<std::string> values{std::istream_iterator<std::string>(fields), {}};
  return std::stol(values.at(11)) + std::stol(values.at(12));  // fields 14 and 15
}

// Leaves a socket file behind, as a daemon that died without cleaning up.
void leave_stale_socket(const std::string& path) {
  const UniqueFd fd(socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
}

class Daemon : public ::testing::Test {
 protected:
  // Clients that switch to another user must still reach the socket.
  Daemon() { std::filesystem::permissions(dir.path(), std::filesystem::perms(0711)); }

  std::unique_ptr<ChildProcess> start(const DaemonOptions& options = {}) {
    auto child = std::make_unique<ChildProcess>(testing::daemon_body(socket_path, device, options));
    child->wait_for_output();
    return child;
  }

  testing::FakeDevice device;
  testing::ScopedTempDir dir;
  const std::string socket_path = dir.file("vesk_sec.sock");
};

struct StartRow {
  std::string name;
  mode_t umask;
  bool stale_socket;
  friend void PrintTo(const StartRow& row, std::ostream* out) { *out << row.name; }
};

class DaemonStartUp : public Daemon, public ::testing::WithParamInterface<StartRow> {};

TEST_P(DaemonStartUp, ListensWithMode0660AndSaysSo) {
  if (GetParam().stale_socket) leave_stale_socket(socket_path);
  const auto daemon = start({.umask = GetParam().umask});
  EXPECT_EQ(daemon->out(), "[+] VESK Security Daemon Listening on " + socket_path + "\n");
  EXPECT_EQ(daemon->err(), "");
  struct stat info {};
  ASSERT_EQ(lstat(socket_path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0660u);
  EXPECT_EQ(ask(socket_path, "PING:"), "PONG");
}

INSTANTIATE_TEST_SUITE_P(Modes, DaemonStartUp,
                         ::testing::Values(StartRow{"umask_000", 0, false},
                                           StartRow{"umask_077", 077, false},
                                           StartRow{"stale_socket_replaced", 022, true}),
                         testing::RowName());

struct FailureRow {
  std::string name;
  std::string socket_name;
  std::function<void()> before_init;
  std::string message;
  friend void PrintTo(const FailureRow& row, std::ostream* out) { *out << row.name; }
};

class DaemonStartUpFailure : public Daemon, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(DaemonStartUpFailure, ExitsWithStatus1AndOneMessage) {
  ChildProcess daemon(testing::daemon_body(dir.file(GetParam().socket_name), device,
                                           {.before_init = GetParam().before_init}));
  EXPECT_EQ(daemon.exit_code(), 1);
  EXPECT_EQ(daemon.err(), GetParam().message);
  EXPECT_EQ(daemon.out(), "");
}

INSTANTIATE_TEST_SUITE_P(Failures, DaemonStartUpFailure,
                         ::testing::Values(FailureRow{"directory_missing", "missing/vesk_sec.sock",
                                                      nullptr, "[-] Bind failed\n"},
                                           FailureRow{"path_too_long", std::string(110, 's'),
                                                      nullptr, "[-] Bind failed\n"},
                                           FailureRow{"no_descriptor_left", "vesk_sec.sock",
                                                      use_up_descriptors,
                                                      "[-] Socket creation failed\n"}),
                         testing::RowName());

TEST_F(Daemon, ServesConnectionsOneAfterAnother) {
  const std::string value = "pass\0word with NUL"s;
  // Made by the openssl command line, with an IV whose bytes put "-" and
  // "_" into the URL-safe text.
  const testing::ScopedTempDir scratch;
  const std::string blob = testing::encrypt_with_openssl_cli(
      2, value, testing::to_hex(testing::make_service(device).derive_tiered_key(2, "")),
      "fbffbffbffbffbffbffbffbffbffbfff", scratch);
  ASSERT_NE(blob.find_first_of("-_"), std::string::npos) << blob;
  const auto daemon = start();

  struct Exchange {
    std::string request;
    std::string reply;
  };
  for (const Exchange& step : std::vector<Exchange>{
           {"PING:", "PONG"},
           {"PING", ""},
           {"UNVAULT:" + blob, value},
           {"UNVAULT:v1:" + blob.substr(3), "ERR:DECRYPT_FAIL"},  // tier 1 key
           {"UNVAULT:", "ERR_BLOB_SHORT"},
           {"UNVAULT:v2:!!!!!!!!", "ERR_DECODE_FAIL"},
           {"unvault:" + blob, "ERR"},
           {"UNVAULT:" + blob, value},
       }) {
    EXPECT_EQ(ask(socket_path, step.request), step.reply) << step.request;
  }
}

struct PeerRow {
  std::string name;
  uid_t uid;
  std::string reply;
  friend void PrintTo(const PeerRow& row, std::ostream* out) { *out << row.name; }
};

class DaemonPeers : public Daemon, public ::testing::WithParamInterface<PeerRow> {};

TEST_P(DaemonPeers, OnlyUsers0And1000GetAReply) {
  const auto daemon = start();
  // Group 0 is kept so that the 0660 socket of root stays reachable.
  ChildProcess client([&] {
    if (setgroups(0, nullptr) != 0 || setgid(0) != 0 || setuid(GetParam().uid) != 0) _exit(113);
    std::cout << ask(socket_path, "PING:");
    return 0;
  });
  EXPECT_EQ(client.exit_code(), 0);
  EXPECT_EQ(client.out(), GetParam().reply);
  EXPECT_EQ(ask(socket_path, "PING:"), "PONG");
}

INSTANTIATE_TEST_SUITE_P(Users, DaemonPeers,
                         ::testing::Values(PeerRow{"root", 0, "PONG"},
                                           PeerRow{"uid_1000", 1000, "PONG"},
                                           PeerRow{"uid_1001", 1001, ""},
                                           PeerRow{"uid_999", 999, ""}),
                         testing::RowName());

TEST_F(Daemon, SilentClientHoldsTheNextOneOnlyUntilTheTimeout) {
  const auto daemon = start();
  const UniqueFd silent = testing::connect_to(socket_path);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(ask(socket_path, "PING:"), "PONG");
  const auto waited = std::chrono::steady_clock::now() - begin;
  EXPECT_GT(waited, 4s) << "the silent client was not served first";
  EXPECT_LT(waited, 7s);
  EXPECT_EQ(testing::read_to_end(silent.get()), "");
}

TEST_F(Daemon, ClientThatHangsUpBeforeTheReplyCostsOnlyItsConnection) {
  // Without main's signal set-up, so a SIGPIPE would end the daemon.
  const auto daemon = start({.stop_signals = false});
  // Frozen, the daemon cannot answer before the client is gone.
  ASSERT_EQ(kill(daemon->pid(), SIGSTOP), 0);
  {
    const UniqueFd early = testing::connect_to(socket_path);
    testing::send_text(early.get(), "PING:");
  }
  ASSERT_EQ(kill(daemon->pid(), SIGCONT), 0);
  EXPECT_EQ(ask(socket_path, "PING:"), "PONG");
  EXPECT_TRUE(daemon->alive());
}

struct StopRow {
  std::string name;
  int signal;
  friend void PrintTo(const StopRow& row, std::ostream* out) { *out << row.name; }
};

class DaemonStop : public Daemon, public ::testing::WithParamInterface<StopRow> {};

TEST_P(DaemonStop, ServesTheConnectionInHandThenExitsWith0) {
  const auto daemon = start();
  const UniqueFd in_hand = testing::connect_to(socket_path);
  std::this_thread::sleep_for(200ms);  // accepted by now, waiting in its read
  ASSERT_EQ(kill(daemon->pid(), GetParam().signal), 0);
  testing::send_text(in_hand.get(), "PING:");
  EXPECT_EQ(testing::read_to_end(in_hand.get()), "PONG");
  EXPECT_EQ(daemon->exit_code(), 0);
  EXPECT_TRUE(std::filesystem::is_socket(socket_path));
}

INSTANTIATE_TEST_SUITE_P(Signals, DaemonStop,
                         ::testing::Values(StopRow{"sigterm", SIGTERM}, StopRow{"sigint", SIGINT}),
                         testing::RowName());

TEST_F(Daemon, AcceptWithoutDescriptorsPausesAndRecovers) {
  const auto daemon = start({.before_serve = use_up_descriptors});
  const UniqueFd waiting = testing::connect_to(socket_path);
  testing::send_text(waiting.get(), "PING:");

  const long ticks_before = cpu_ticks(daemon->pid());
  std::this_thread::sleep_for(500ms);
  EXPECT_LT(cpu_ticks(daemon->pid()) - ticks_before, sysconf(_SC_CLK_TCK) / 10)
      << "the accept loop spins";

  rlimit limit{};
  ASSERT_EQ(prlimit(daemon->pid(), RLIMIT_NOFILE, nullptr, &limit), 0);
  limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 1024);
  ASSERT_EQ(prlimit(daemon->pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
  EXPECT_EQ(testing::read_to_end(waiting.get()), "PONG");

  ASSERT_EQ(kill(daemon->pid(), SIGTERM), 0);
  EXPECT_EQ(daemon->exit_code(), 0);
}

}  // namespace
}  // namespace vesk
