#include "machine/daemon_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "security/file_io.h"
#include "security/unique_fd.h"

namespace vesk {

namespace {

// Far more than any password; a peer that keeps sending is not vaultd.
constexpr std::size_t kMaxReplyBytes = std::size_t{64} * 1024;
// What one read may add to the reply.
constexpr std::size_t kReadRoom = 4096;

Exchange connect_failure(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return Exchange::kNoSocket;
    case ECONNREFUSED:
      return Exchange::kRefused;
    case EACCES:
    case EPERM:
      return Exchange::kDenied;
    case EAGAIN:
    case EINPROGRESS:
    case ETIMEDOUT:
      return Exchange::kTimedOut;
    default:
      return Exchange::kFailed;
  }
}

// A connected socket, or the reason there is none in `failure`.
UniqueFd connect_to(const std::string& socket_path, std::chrono::milliseconds limit,
                    Exchange& failure) {
  failure = Exchange::kFailed;
  const std::optional<sockaddr_un> address = unix_socket_address(socket_path);
  if (!address) return {};
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  // On a Unix-domain socket the send timeout also bounds connect, which
  // waits while the daemon's backlog is full.
  const timeval timeout{.tv_sec = static_cast<time_t>(limit.count() / 1000),
                        .tv_usec = static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
  if (!fd.valid() ||
      ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0) {
    return {};
  }
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    failure = connect_failure(errno);
    return {};
  }
  return fd;
}

}  // namespace

DaemonReply ask_daemon(const std::string& socket_path, const std::string& request,
                       std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + limit;
  DaemonReply result;
  const UniqueFd fd = connect_to(socket_path, limit, result.outcome);
  if (!fd.valid()) return result;
  // One send: a blocking stream socket takes a request this small whole.
  // MSG_NOSIGNAL, as a daemon that hangs up early must not kill the check.
  if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return result;
  }
  // Read straight into the reply's Secret: no buffer of ours ever holds a
  // plain password.
  ssize_t received = -1;
  while (received != 0 && result.bytes.size() <= kMaxReplyBytes) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd readable{.fd = fd.get(), .events = POLLIN, .revents = 0};
    const int ready = left.count() > 0 ? ::poll(&readable, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) result.outcome = Exchange::kTimedOut;
    if (ready <= 0) break;
    const std::size_t held = result.bytes.size();
    result.bytes.resize(held + kReadRoom);
    received = ::read(fd.get(), result.bytes.data() + held, kReadRoom);
    result.bytes.resize(held + static_cast<std::size_t>(std::max<ssize_t>(received, 0)));
    if (received < 0 && errno == EINTR) continue;
    if (received < 0) break;
  }
  // Only a peer that closed in time has given its whole reply.
  if (received != 0) return result;
  result.outcome = Exchange::kAnswered;
  return result;
}

}  // namespace vesk
