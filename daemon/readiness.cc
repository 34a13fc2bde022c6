#include "daemon/readiness.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "security/file_io.h"
#include "security/unique_fd.h"

namespace vesk {

bool notify_ready() {
  const char* const name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || *name == '\0') return true;
  const std::string path(name);
  std::optional<sockaddr_un> address = unix_socket_address(path);
  if (!address) return false;
  if (path.front() == '@') address->sun_path[0] = '\0';
  const UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  constexpr std::string_view kReady = "READY=1";
  // The exact length: an abstract name is not ended by a NUL.
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  return fd.valid() && sendto(fd.get(), kReady.data(), kReady.size(), MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&*address),
                              length) == static_cast<ssize_t>(kReady.size());
}

}  // namespace vesk
