// The floor vaultd is measured against: a server that makes exactly the
// calls one exchange of the vault protocol demands, with no crypto. Per
// connection: accept, the peer check, the two timeouts, one read of the
// request, for UNVAULT one read of the CPU identity file (the key is bound
// to the hardware, read afresh for every request), one send and a close.
//
//   floor_server SOCKET CPUINFO VALUE
//
// Replies "PONG" to "PING:..." and VALUE to any other request with a colon,
// so a load generator can check every reply. Prints one line once it
// listens; runs until it is killed.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr timeval kClientTimeout{.tv_sec = 5, .tv_usec = 0};

void serve(int client, const char* cpuinfo_path, std::string_view value) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
      (peer.uid != 0 && peer.uid != 1000)) {
    return;
  }
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &kClientTimeout, sizeof kClientTimeout);
  setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &kClientTimeout, sizeof kClientTimeout);
  std::array<char, 4096> request{};
  const ssize_t received = read(client, request.data(), request.size() - 1);
  if (received <= 0) return;

  const std::string_view text(request.data(), static_cast<std::size_t>(received));
  if (text.find(':') == std::string_view::npos) return;
  const bool ping = text.starts_with("PING:");
  const int file = ping ? -1 : open(cpuinfo_path, O_RDONLY | O_CLOEXEC);
  if (file >= 0) {
    std::array<char, 4096> cpuinfo{};
    // Read as the daemon reads it; what it holds does not matter here.
    const ssize_t cpuinfo_bytes = read(file, cpuinfo.data(), cpuinfo.size());
    (void)cpuinfo_bytes;
    close(file);
  }
  const std::string_view reply = ping ? "PONG" : value;
  (void)send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: floor_server SOCKET CPUINFO VALUE\n");
    return 2;
  }
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  std::strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
  unlink(argv[1]);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 5) != 0) {
    std::perror("floor_server");
    return 1;
  }
  std::printf("floor listening on %s\n", argv[1]);
  std::fflush(stdout);
  for (;;) {
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    serve(client, argv[2], argv[3]);
    close(client);
  }
}
