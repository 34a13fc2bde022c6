#include "daemon/readiness.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "security/unique_fd.h"

namespace vesk {

bool notify_ready() {
  const char* const name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || *name == '\0') return true;
  const std::string_view path(name);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // A service manager names an absolute path, which needs its NUL, or an
  // abstract name, which may fill sun_path whole; anything else is no
  // socket of its own.
  const bool abstract = path.front() == '@';
  if ((!abstract && path.front() != '/') ||
      path.size() > sizeof address.sun_path - (abstract ? 0 : 1)) {
    return false;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  if (abstract) address.sun_path[0] = '\0';
  const UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  constexpr std::string_view kReady = "READY=1";
  // The exact length: an abstract name is not ended by a NUL.
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  return fd.valid() && sendto(fd.get(), kReady.data(), kReady.size(), MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&address),
                              length) == static_cast<ssize_t>(kReady.size());
}

}  // namespace vesk
