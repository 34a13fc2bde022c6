#include "daemon/security_daemon.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <optional>
#include <utility>

#include "daemon/request_protocol.h"
#include "daemon/stop_signals.h"
#include "security/file_io.h"

namespace vesk {
namespace {

constexpr int kListenBacklog = 5;
constexpr mode_t kSocketMode = 0660;
constexpr std::chrono::seconds kClientTimeout{5};
constexpr timespec kResourcePause{.tv_sec = 0, .tv_nsec = 10'000'000};
using Clock = std::chrono::steady_clock;

bool is_resource_shortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Sleeps a little; a stop signal cuts the sleep short.
void pause_briefly() { nanosleep(&kResourcePause, nullptr); }

bool peer_may_ask(int client_fd) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(client_fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return false;
  if (length != sizeof peer) return false;
  return peer.uid == 0 || peer.uid == 1000;
}

// Bounds every read and write on `client_fd` to `left`; false when
// nothing is left.
bool bound_io_time(int client_fd, std::chrono::microseconds left) {
  if (left.count() <= 0) return false;
  const timeval bound{.tv_sec = static_cast<time_t>(left.count() / 1'000'000),
                      .tv_usec = static_cast<suseconds_t>(left.count() % 1'000'000)};
  for (const int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
    if (setsockopt(client_fd, SOL_SOCKET, option, &bound, sizeof bound) != 0) return false;
  }
  return true;
}

// Runs `io` (a read or a write) again when a stop signal interrupts it: the
// connection in hand is finished, within 5 s of the first interruption.
// The clock is read only then.
template <typename Io>
ssize_t resuming(int client_fd, std::optional<Clock::time_point>& deadline, const Io& io) {
  ssize_t result = 0;
  while ((result = io()) < 0 && errno == EINTR) {
    if (!deadline) deadline = Clock::now() + kClientTimeout;
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(*deadline - Clock::now());
    if (!bound_io_time(client_fd, left)) break;
  }
  return result;
}

}  // namespace

SecurityDaemon::SecurityDaemon(const SecurityService& security_service,
                               std::string socket_path_to_bind)
    : service(security_service), socket_path(std::move(socket_path_to_bind)) {}

const char* start_failure_message(StartFailure failure) {
  switch (failure) {
    case StartFailure::kSocket:
      return "[-] Socket creation failed\n";
    case StartFailure::kBind:
      break;
    case StartFailure::kListen:
      return "[-] Listen failed\n";
  }
  return "[-] Bind failed\n";
}

std::optional<StartFailure> SecurityDaemon::init() {
  server_fd.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!server_fd.valid()) return StartFailure::kSocket;

  const std::optional<sockaddr_un> address = unix_socket_address(socket_path);
  if (!address) return StartFailure::kBind;

  // A file left by an earlier run, or the socket of an older instance: the
  // newest daemon takes the path over. A failure shows up in bind.
  ::unlink(socket_path.c_str());

  // The socket must never be reachable by others, not even in the moment
  // between bind and chmod.
  const mode_t previous_mask = ::umask(0777 & ~kSocketMode);
  const int bound =
      bind(server_fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
  ::umask(previous_mask);
  if (bound != 0) return StartFailure::kBind;
  ::chmod(socket_path.c_str(), kSocketMode);

  if (listen(server_fd.get(), kListenBacklog) != 0) return StartFailure::kListen;
  return std::nullopt;
}

void SecurityDaemon::serve() {
  // accept is the loop's only wait. A stop signal interrupts it, or, when it
  // comes between the flag test and the accept, shuts the listener down so
  // the accept fails at once: a stop is never held up by a quiet socket,
  // and no connection costs a signal-mask change or a poll.
  stop_accepting_on(server_fd.get());
  while (!stop_requested()) {
    const UniqueFd client(accept4(server_fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client.valid()) {
      // The connection stays queued, so retrying at once would spin until
      // a descriptor or memory frees up.
      if (is_resource_shortage(errno)) pause_briefly();
      continue;
    }
    handle_client(client.get());
  }
}

void SecurityDaemon::handle_client(int client_fd) {
  if (!peer_may_ask(client_fd)) return;
  // Without the bounds a silent client would hold every other one back.
  if (!bound_io_time(client_fd, kClientTimeout)) return;
  std::optional<Clock::time_point> deadline;

  std::array<char, kRequestBufferSize> buffer{};
  const ssize_t received = resuming(
      client_fd, deadline, [&] { return ::read(client_fd, buffer.data(), kMaxRequestBytes); });
  if (received <= 0) return;

  const Unvaulter unvault = [this](std::string_view blob, int tier) {
    return service.cipher.unvault(blob, tier, "");
  };
  // The reply may be a plain secret: a Secret, wiped when it goes.
  const std::optional<Secret> reply = reply_to_request(
      std::string_view(buffer.data(), static_cast<std::size_t>(received)), unvault);
  if (!reply) return;

  // One write of the whole reply; MSG_NOSIGNAL because a peer that already
  // hung up must not raise SIGPIPE. Its result does not matter: there is
  // nobody left to tell.
  (void)resuming(client_fd, deadline,
                 [&] { return send(client_fd, reply->data(), reply->size(), MSG_NOSIGNAL); });
}

}  // namespace vesk
