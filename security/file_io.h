#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

#include "security/unique_fd.h"

namespace vesk {

// Why a file operation failed where no system call's errno says it.
enum class FileError {
  kNoRandomName = 1,  // the random generator gave no bytes for a temporary name
  kNoFreeName,        // every temporary name tried was taken
  kWroteNothing,      // a write returned 0 and would never finish
};
std::error_code make_error_code(FileError error);

// errno as an error value: take it right after the call that set it.
inline std::error_code last_error() { return {errno, std::generic_category()}; }

// Writes all of `bytes` to `fd` at its offset, retrying short writes and
// EINTR. No error, or why a write failed.
std::error_code write_all(int fd, std::string_view bytes);

// Opens `path` with `flags` (O_CLOEXEC, O_NOCTTY and O_NONBLOCK added: a
// FIFO is never waited on) when it is a regular file; an invalid descriptor
// otherwise, with errno saying why (EINVAL: not a regular file). `size`,
// when given, gets its size.
UniqueFd open_regular(const std::string& path, int flags, off_t* size = nullptr);

// The address of the Unix-domain socket at `path`, or none when the path
// does not fit (it is refused rather than cut, which would name another
// file).
std::optional<sockaddr_un> unix_socket_address(const std::string& path);

}  // namespace vesk

template <>
struct std::is_error_code_enum<vesk::FileError> : std::true_type {};
