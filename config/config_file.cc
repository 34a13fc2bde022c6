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

bool write_all(int fd, const std::string& content) {
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t count =
        pwrite(fd, content.data() + written, content.size() - written, static_cast<off_t>(written));
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
  const UniqueFd file(open(path.c_str(), O_WRONLY | O_CLOEXEC));
  return file.valid() && write_all(file.get(), content) &&
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

std::optional<std::string> read_config_file(const std::string& path) {
  // Plain reads, so that a directory or an I/O error is an answer here and
  // never an exception out of a stream buffer.
  const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  struct stat status {};
  if (!file.valid() || fstat(file.get(), &status) != 0) return std::nullopt;
  // The text holds passwords: room for all of it up front, so no copy is
  // left behind in a released buffer, and the chunk is wiped.
  std::string content;
  content.reserve(static_cast<std::size_t>(std::max<off_t>(status.st_size, 0)));
  std::array<char, 8192> chunk{};
  ssize_t count = 0;
  while ((count = read(file.get(), chunk.data(), chunk.size())) != 0) {
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) break;
    content.append(chunk.data(), static_cast<std::size_t>(count));
  }
  OPENSSL_cleanse(chunk.data(), chunk.size());
  if (count == 0) return content;
  wipe(content);
  return std::nullopt;
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

}  // namespace vesk
