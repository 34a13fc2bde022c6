#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace vesk {

// What a check needs to know of a file's inode.
struct FileInfo {
  mode_t mode = 0;  // type and permission bits, as st_mode
  uid_t owner = 0;
  gid_t group = 0;
};

// The inode at `path`: through a final symlink when `follow_link`, the link
// itself otherwise. Nothing when stat fails (missing, unreachable).
std::optional<FileInfo> file_info(const std::string& path, bool follow_link);

enum class Immutability { kImmutable, kMutable, kMissing, kUnreadable };

// Whether the file at `path` has the immutable attribute (chattr +i), read
// with FS_IOC_GETFLAGS. kMissing when there is no file; kUnreadable when it
// cannot be opened for reading or its file system keeps no such flags.
// Opens read-only without blocking and reads no content.
Immutability immutability(const std::string& path);

}  // namespace vesk
