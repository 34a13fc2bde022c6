#include "security/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vesk {

namespace {

class FileErrorCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "vesk-file"; }
  std::string message(int code) const override {
    switch (static_cast<FileError>(code)) {
      case FileError::kNoRandomName:
        return "the random generator failed: no temporary name";
      case FileError::kNoFreeName:
        return "no free temporary name";
      case FileError::kWroteNothing:
        return "a write wrote nothing";
    }
    return "unknown error";
  }
};

}  // namespace

std::error_code make_error_code(FileError error) {
  static const FileErrorCategory category;
  return {static_cast<int>(error), category};
}

std::error_code write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = write(fd, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return last_error();
    if (count == 0) return FileError::kWroteNothing;
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return {};
}

UniqueFd open_regular(const std::string& path, int flags, off_t* size) {
  UniqueFd file(open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat status {};
  if (!file.valid() || fstat(file.get(), &status) != 0) return {};
  if (!S_ISREG(status.st_mode)) {
    errno = EINVAL;
    return {};
  }
  if (size != nullptr) *size = status.st_size;
  return file;
}

std::optional<sockaddr_un> unix_socket_address(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

}  // namespace vesk
