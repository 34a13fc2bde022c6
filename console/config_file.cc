#include "console/config_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "console/file_descriptor.h"

namespace vesk {

namespace {

bool write_all(int fd, const std::string& content, off_t offset) {
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t count = pwrite(fd, content.data() + written, content.size() - written,
                                 offset + static_cast<off_t>(written));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    written += static_cast<std::size_t>(count);
  }
  return true;
}

// Rewrites in place: the new content first, then the file is cut to its
// length, so the old content is never truncated away before the new
// content is there.
bool rewrite_in_place(const std::string& path, const std::string& content) {
  const FileDescriptor file(open(path.c_str(), O_WRONLY | O_CLOEXEC));
  return file.valid() && write_all(file.get(), content, 0) &&
         ftruncate(file.get(), static_cast<off_t>(content.size())) == 0 && fsync(file.get()) == 0;
}

void sync_directory(const std::string& directory) {
  const FileDescriptor dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) fsync(dir.get());
}

}  // namespace

std::optional<std::string> read_config_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return std::nullopt;
  return content;
}

bool replace_config_file(const std::string& path, const std::string& content) {
  std::error_code error;
  const std::filesystem::path target = std::filesystem::canonical(path, error);
  if (error) return false;
  struct stat old_status {};
  if (stat(target.c_str(), &old_status) != 0) return false;

  const std::string directory = target.parent_path().string();
  std::string temp_path = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  FileDescriptor temp(mkostemp(temp_path.data(), O_CLOEXEC));
  if (!temp.valid()) return rewrite_in_place(target.string(), content);

  bool written = write_all(temp.get(), content, 0) &&
                 fchmod(temp.get(), old_status.st_mode & 07777) == 0;
  if (written && fchown(temp.get(), old_status.st_uid, old_status.st_gid) != 0) {
    // Only a privileged console may hand a file to another owner; an
    // unprivileged one keeps its own, as any editor would.
  }
  written = written && fsync(temp.get()) == 0;
  const bool closed = temp.close() == 0;
  if (!written || !closed || rename(temp_path.c_str(), target.c_str()) != 0) {
    unlink(temp_path.c_str());
    return false;
  }
  sync_directory(directory);
  return true;
}

}  // namespace vesk
