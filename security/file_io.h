#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <optional>
#include <string>
#include <string_view>

#include "security/unique_fd.h"

namespace vesk {

// Writes all of `bytes` to `fd` at its offset, retrying short writes and
// EINTR. False when a write fails.
bool write_all(int fd, std::string_view bytes);

// Opens `path` with `flags` (O_CLOEXEC, O_NOCTTY and O_NONBLOCK added: a
// FIFO is never waited on) when it is a regular file; an invalid descriptor
// otherwise. `size`, when given, gets its size.
UniqueFd open_regular(const std::string& path, int flags, off_t* size = nullptr);

// The address of the Unix-domain socket at `path`, or none when the path
// does not fit (it is refused rather than cut, which would name another
// file).
std::optional<sockaddr_un> unix_socket_address(const std::string& path);

}  // namespace vesk
