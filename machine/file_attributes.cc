#include "machine/file_attributes.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>

#include "security/unique_fd.h"

namespace vesk {

std::optional<FileInfo> file_info(const std::string& path, bool follow_link) {
  struct stat status {};
  const int result = follow_link ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status);
  if (result != 0) return std::nullopt;
  return FileInfo{.mode = status.st_mode, .owner = status.st_uid, .group = status.st_gid};
}

Immutability immutability(const std::string& path) {
  // O_NONBLOCK: a FIFO or a device sitting at a protected name must not
  // hang the check. The attribute is read through a descriptor rather than
  // by running lsattr, so no output format has to be parsed.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) {
    return errno == ENOENT || errno == ENOTDIR ? Immutability::kMissing : Immutability::kUnreadable;
  }
  // The kernel reads and writes an int here, whatever the ioctl's number
  // says about a long.
  int flags = 0;
  if (::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) return Immutability::kUnreadable;
  return (flags & FS_IMMUTABLE_FL) != 0 ? Immutability::kImmutable : Immutability::kMutable;
}

}  // namespace vesk
