#include "config/config_file.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>

#include "security/secure_memory.h"
#include "security/unique_fd.h"

namespace vesk {

namespace {

// Writes content[from, to) at the same offsets of the file.
bool write_range(int fd, const std::string& content, std::size_t from, std::size_t to) {
  while (from < to) {
    const ssize_t count = pwrite(fd, content.data() + from, to - from, static_cast<off_t>(from));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    from += static_cast<std::size_t>(count);
  }
  return true;
}

bool write_all(int fd, const std::string& content) {
  return write_range(fd, content, 0, content.size());
}

// Rewrites in place without ever leaving a mix on a full disk: the room the
// new content needs past the old end is taken first, by writing that part;
// when it cannot be had, the file is cut back and keeps its old content.
// Only then are the old bytes overwritten, which needs no new room (except
// on a copy-on-write file system), and the file is cut to its new length.
// Writing the tail rather than calling fallocate works on every file system.
bool rewrite_in_place(const std::string& path, const std::string& content) {
  const UniqueFd file(open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat status {};
  if (!file.valid() || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  const auto old_size = static_cast<std::size_t>(status.st_size);
  if (content.size() > old_size && !write_range(file.get(), content, old_size, content.size())) {
    (void)ftruncate(file.get(), status.st_size);
    return false;
  }
  return write_range(file.get(), content, 0, std::min(old_size, content.size())) &&
         ftruncate(file.get(), static_cast<off_t>(content.size())) == 0 && fsync(file.get()) == 0;
}

// The file a write to `path` must replace: a symlink's final target, so the
// link itself stays a link.
std::filesystem::path replacement_target(const std::string& path) {
  std::error_code error;
  std::filesystem::path target = std::filesystem::weakly_canonical(path, error);
  return error ? std::filesystem::path(path) : target;
}

// "<dir>/.<name>.XXXXXX", the pattern of a hidden temporary file beside
// `target`. (Appended piece by piece: GCC 12 misreads "." + name at -O2 as
// an overlapping copy, bug 105329.)
std::string temporary_name(const std::filesystem::path& target) {
  const std::filesystem::path directory = target.parent_path();
  std::string name = directory.empty() ? std::string(".") : directory.string();
  name.append("/.").append(target.filename().string()).append(".XXXXXX");
  return name;
}

// A temporary file beside a target, removed unless it replaced the target.
class ReplacementFile {
 public:
  explicit ReplacementFile(const std::filesystem::path& target)
      : target_(target),
        path_(temporary_name(target)),
        file_(mkostemp(path_.data(), O_CLOEXEC)),
        created_(file_.valid()) {}
  ~ReplacementFile() {
    if (created_ && !renamed_) unlink(path_.c_str());
  }
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  bool valid() const { return file_.valid(); }
  int fd() const { return file_.get(); }
  const std::string& path() const { return path_; }

  // Gives the file its final mode (and the old owner, where the console may),
  // flushes it to disk and renames it over the target.
  bool replace_target(mode_t mode, const std::optional<struct stat>& old_status) {
    if (fchmod(file_.get(), mode) != 0) return false;
    // Only a privileged console may hand a file to another owner; an
    // unprivileged one keeps its own, as any editor would.
    if (old_status) (void)fchown(file_.get(), old_status->st_uid, old_status->st_gid);
    if (fsync(file_.get()) != 0 || file_.close() != 0) return false;
    if (rename(path_.c_str(), target_.c_str()) != 0) return false;
    renamed_ = true;
    // Make the rename itself durable.
    const UniqueFd directory(
        open(target_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.valid()) fsync(directory.get());
    return true;
  }

 private:
  std::filesystem::path target_;
  std::string path_;
  UniqueFd file_;
  bool created_;
  bool renamed_ = false;
};

std::optional<struct stat> status_of(const std::filesystem::path& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return std::nullopt;
  return status;
}

}  // namespace

ConfigRead read_config_file(const std::string& path) {
  // Plain reads, so that a directory or an I/O error is an answer here and
  // never an exception out of a stream buffer. O_NONBLOCK, so that opening
  // a FIFO does not wait for a writer; only a regular file is read.
  const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat status {};
  if (!file.valid() || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return {};
  if (static_cast<std::size_t>(status.st_size) > kMaxConfigBytes) return {std::nullopt, true};
  // The text holds passwords: room for all of it up front, so no copy is
  // left behind in a released buffer, and the chunk is wiped.
  std::string content;
  content.reserve(static_cast<std::size_t>(status.st_size));
  std::array<char, 8192> chunk{};
  ssize_t count = 0;
  bool too_large = false;
  while ((count = read(file.get(), chunk.data(), chunk.size())) != 0) {
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) break;
    // A file that grows while it is read is held to the same limit.
    too_large = content.size() + static_cast<std::size_t>(count) > kMaxConfigBytes;
    if (too_large) break;
    content.append(chunk.data(), static_cast<std::size_t>(count));
  }
  OPENSSL_cleanse(chunk.data(), chunk.size());
  if (count == 0) return {std::move(content)};
  wipe(content);
  return {std::nullopt, too_large};
}

std::string too_large_message(const std::string& path) {
  return path + " is larger than " + std::to_string(kMaxConfigBytes >> 20) + " MiB";
}

bool replace_config_file(const std::string& path, const std::string& content) {
  const std::filesystem::path target = replacement_target(path);
  const std::optional<struct stat> old_status = status_of(target);
  if (!old_status) return false;
  ReplacementFile replacement(target);
  if (!replacement.valid()) return rewrite_in_place(target.string(), content);
  return write_all(replacement.fd(), content) &&
         replacement.replace_target(old_status->st_mode & 07777, old_status);
}

bool replace_config_file_with(const std::string& path,
                              const std::function<bool(const std::string& temp_path)>& fill,
                              mode_t new_file_mode) {
  const std::filesystem::path target = replacement_target(path);
  const std::optional<struct stat> old_status = status_of(target);
  ReplacementFile replacement(target);
  if (!replacement.valid() || !fill(replacement.path())) return false;
  return replacement.replace_target(old_status ? old_status->st_mode & 07777 : new_file_mode,
                                    old_status);
}

bool replace_file(const std::string& path, const std::string& content, mode_t mode) {
  ReplacementFile replacement(replacement_target(path));
  return replacement.valid() && write_all(replacement.fd(), content) &&
         replacement.replace_target(mode, std::nullopt);
}

}  // namespace vesk
