// vaultd under a long mixed load: valid blobs of every tier, garbage,
// oversized and early-closing requests, refused users and silent clients.
// It must keep answering, and give back every descriptor and its memory.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <fstream>
#include <random>

#include "security/unique_fd.h"
#include "tests/support/ci.h"
#include "tests/support/fake_device.h"
#include "tests/system/simulated_device.h"

namespace vesk::testing {
namespace {

namespace fs = std::filesystem;

UniqueFd connect_to_vaultd() {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, "/var/run/vesk_sec.sock", sizeof(address.sun_path) - 1);
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    return UniqueFd();
  }
  return fd;
}

// Sends `request` and reads the reply to its end. A peer that stopped
// reading (oversized requests) or was refused may reset the connection;
// that ends the reply like an EOF.
std::optional<std::string> exchange(const std::string& request) {
  const UniqueFd fd = connect_to_vaultd();
  if (!fd.valid()) return std::nullopt;
  std::size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t count = send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) break;
    sent += static_cast<std::size_t>(count);
  }
  std::string reply;
  std::array<char, 4096> chunk{};
  for (ssize_t count = 0; (count = read(fd.get(), chunk.data(), chunk.size())) > 0;) {
    reply.append(chunk.data(), static_cast<std::size_t>(count));
  }
  return reply;
}

std::size_t open_descriptors(pid_t pid) {
  const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(fds), {}));
}

long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

TEST(Soak, TwentyThousandMixedConnections) {
  if (!SimulatedDevice::available()) VESK_SKIP_UNLESS_CI("cannot make a private mount namespace (needs root)");
  SimulatedDevice device;
  device.plug_usb("4C530001");
  // The sanitizer's quarantine would hold freed memory back and hide what
  // the daemon really keeps.
  setenv("ASAN_OPTIONS", "quarantine_size_mb=1:detect_leaks=1", 1);
  DaemonProcess daemon = device.start_vaultd();
  ASSERT_FALSE(daemon.first_line().empty());
  const std::size_t descriptors_at_start = open_descriptors(daemon.pid());

  // The same device files give this process the daemon's keys.
  const SecurityService service("/var/lib/tarvemill/.shadow_keys", bytes_of("ZEPHYR_KEY"));
  std::vector<std::pair<std::string, std::string>> blobs;  // request, value
  for (int tier = 1; tier <= 3; ++tier) {
    for (int i = 0; i < 20; ++i) {
      const std::string value = "value " + std::to_string(tier) + "/" + std::to_string(i) +
                                std::string(static_cast<std::size_t>(i * 7), '*');
      blobs.emplace_back("UNVAULT:" + service.vault(value, tier, ""), value);
    }
  }

  // A few clients that connect and say nothing hold the line for their
  // timeout each; the client queued behind them is still served.
  std::vector<UniqueFd> silent;
  for (int i = 0; i < 3; ++i) silent.push_back(connect_to_vaultd());
  EXPECT_EQ(exchange("PING:"), "PONG");
  silent.clear();

  // Refused users, from a child that runs as uid 1001 in the daemon's group.
  constexpr int kRefused = 300;
  const pid_t refused = fork();
  ASSERT_NE(refused, -1);
  if (refused == 0) {
    if (setgid(1000) != 0 || setuid(1001) != 0) _exit(2);
    for (int i = 0; i < kRefused; ++i) {
      if (exchange(blobs[static_cast<std::size_t>(i) % blobs.size()].first) != std::string()) _exit(1);
    }
    _exit(0);
  }
  int refused_status = 0;
  ASSERT_EQ(waitpid(refused, &refused_status, 0), refused);
  EXPECT_TRUE(WIFEXITED(refused_status) && WEXITSTATUS(refused_status) == 0);

  std::mt19937 random(7);
  constexpr int kConnections = 20000;
  constexpr int kWarmUp = 2000;
  long resident_after_warm_up = 0;
  int wrong_values = 0;
  int missing_pongs = 0;
  for (int i = 0; i < kConnections; ++i) {
    if (i == kWarmUp) resident_after_warm_up = resident_kib(daemon.pid());
    const auto kind = random() % 10;
    if (kind < 4) {
      const auto& [request, value] = blobs[random() % blobs.size()];
      wrong_values += exchange(request) != value;
    } else if (kind < 6) {
      std::string garbage(random() % 200, '\0');
      for (char& c : garbage) c = static_cast<char>(random());
      exchange((random() % 2 ? "UNVAULT:" : "") + garbage);
    } else if (kind < 7) {
      exchange("UNVAULT:v2:" + std::string(4096 + random() % 4096, 'A'));
    } else if (kind < 8) {
      // Gone before sending, or gone before reading the reply.
      const UniqueFd early = connect_to_vaultd();
      if (random() % 2) send(early.get(), "PING:", 5, MSG_NOSIGNAL);
    } else {
      missing_pongs += exchange("PING:") != "PONG";
    }
  }

  EXPECT_EQ(wrong_values, 0);
  EXPECT_EQ(missing_pongs, 0);
  EXPECT_EQ(exchange("PING:"), "PONG");
  EXPECT_EQ(open_descriptors(daemon.pid()), descriptors_at_start);
  const long resident_at_end = resident_kib(daemon.pid());
  EXPECT_LT(resident_at_end - resident_after_warm_up, 4 * 1024) << "KiB grown after warm-up";
  std::cout << "[ figures  ] " << kConnections + kRefused + 4 << " connections served; "
            << descriptors_at_start << " descriptors before and after; resident "
            << resident_after_warm_up << " KiB after warm-up, " << resident_at_end << " KiB at the end\n";
  EXPECT_EQ(daemon.stop(), 0);
}

}  // namespace
}  // namespace vesk::testing
