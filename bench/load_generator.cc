// Load for vault sockets: COUNT exchanges per target at CONCURRENCY, each
// exchange on a connection of its own (the protocol's one request, one
// reply, then the server closes). With several targets the load switches
// between them in SLICES slices, their order turning each slice, so that a
// machine that gets slower or faster meanwhile weighs on all alike. Every
// reply must be the target's EXPECTED.
//
//   load_generator COUNT CONCURRENCY SLICES SOCKET REQUEST EXPECTED [SOCKET REQUEST EXPECTED]...
//
// Prints one line per target: "<requests per second> <p50 µs> <p99 µs>", the
// latency from connect to the server's close. Exits 1 when any reply was
// not the expected one (and says how many), 2 on a usage error.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Target {
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  std::string request;
  std::string expected;
  double seconds = 0;
  std::vector<double> latencies;  // µs
  long wrong = 0;
};

// One exchange; the reply, or "<no connection>" when there was none.
std::string exchange(const sockaddr_un& address, const std::string& request) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) close(fd);
    return "<no connection>";
  }
  std::string reply;
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size())) {
    std::array<char, 4096> buffer{};
    ssize_t count = 0;
    while ((count = read(fd, buffer.data(), buffer.size())) > 0) {
      reply.append(buffer.data(), static_cast<std::size_t>(count));
    }
  }
  close(fd);
  return reply;
}

// `count` exchanges with `target` over `concurrency` threads.
void run_slice(Target& target, long count, long concurrency) {
  std::vector<std::vector<double>> latencies(static_cast<std::size_t>(concurrency));
  std::atomic<long> next{0};
  std::atomic<long> wrong{0};
  const Clock::time_point start = Clock::now();
  {
    const auto client = [&](std::vector<double>& mine) {
      while (next.fetch_add(1) < count) {
        const Clock::time_point sent = Clock::now();
        const bool right = exchange(target.address, target.request) == target.expected;
        mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
        if (!right) wrong.fetch_add(1);
      }
    };
    std::vector<std::jthread> clients(latencies.size());
    std::transform(
        latencies.begin(), latencies.end(), clients.begin(),
        [&client](std::vector<double>& mine) { return std::jthread(client, std::ref(mine)); });
  }
  target.seconds += std::chrono::duration<double>(Clock::now() - start).count();
  for (const auto& mine : latencies) {
    target.latencies.insert(target.latencies.end(), mine.begin(), mine.end());
  }
  target.wrong += wrong;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7 || (argc - 4) % 3 != 0) {
    std::fprintf(stderr,
                 "usage: load_generator COUNT CONCURRENCY SLICES SOCKET REQUEST EXPECTED "
                 "[SOCKET REQUEST EXPECTED]...\n");
    return 2;
  }
  const long count = std::atol(argv[1]);
  const long concurrency = std::atol(argv[2]);
  const long slices = std::atol(argv[3]);
  if (count < 1 || concurrency < 1 || slices < 1 || slices > count) {
    std::fprintf(
        stderr,
        "load_generator: COUNT, CONCURRENCY and SLICES must be positive, SLICES <= COUNT\n");
    return 2;
  }
  std::vector<Target> targets((static_cast<std::size_t>(argc) - 4) / 3);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    char** const words = argv + 4 + 3 * i;
    std::strncpy(targets[i].address.sun_path, words[0], sizeof targets[i].address.sun_path - 1);
    targets[i].request = words[1];
    targets[i].expected = words[2];
  }

  for (long slice = 0; slice < slices; ++slice) {
    const long share = count / slices + (slice < count % slices ? 1 : 0);
    for (std::size_t i = 0; i < targets.size(); ++i) {
      run_slice(targets[(i + static_cast<std::size_t>(slice)) % targets.size()], share,
                concurrency);
    }
  }

  int status = 0;
  for (Target& target : targets) {
    std::vector<double>& all = target.latencies;
    std::sort(all.begin(), all.end());
    const auto at = [&all](double share) {
      const auto index = static_cast<std::size_t>(share * static_cast<double>(all.size()));
      return all[std::min(all.size() - 1, index)];
    };
    std::printf("%.0f %.1f %.1f\n", static_cast<double>(count) / target.seconds, at(0.50),
                at(0.99));
    if (target.wrong > 0) {
      std::fprintf(stderr, "load_generator: %ld of %ld replies from %s were wrong\n", target.wrong,
                   count, target.address.sun_path);
      status = 1;
    }
  }
  return status;
}
