#include "config/config_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "config/replacement_file.h"
#include "security/file_io.h"
#include "security/read_all.h"
#include "security/unique_fd.h"

namespace vesk {

namespace {

// Writes content[from, to) at the same offsets of the file.
bool write_range(int fd, std::string_view content, std::size_t from, std::size_t to) {
  while (from < to) {
    const ssize_t count = pwrite(fd, content.data() + from, to - from, static_cast<off_t>(from));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    from += static_cast<std::size_t>(count);
  }
  return true;
}

// The whole content of the open regular file `fd` of `size` bytes, read
// from its start; nothing when a read fails or it is not that size.
std::optional<Secret> read_whole(int fd, std::size_t size) {
  Secret content;
  content.resize(size);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t count = pread(fd, content.data() + done, size - done, static_cast<off_t>(done));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return std::nullopt;
    done += static_cast<std::size_t>(count);
  }
  return content;
}

// Rewrites in place without ever leaving a mix on a full disk: the room the
// new content needs past the old end is taken first, by writing that part;
// only then are the old bytes overwritten, which needs no new room (except
// on a copy-on-write file system), and the file is cut to its new length.
// Writing the tail rather than calling fallocate works on every file system.
// Whatever write fails, the old content, read first, is put back.
WriteOutcome rewrite_in_place(const std::string& path, std::string_view content) {
  off_t size = 0;
  const UniqueFd file = open_regular(path, O_RDWR, &size);
  if (!file.valid()) return WriteOutcome::kUnchanged;
  const auto old_size = static_cast<std::size_t>(size);
  const std::optional<Secret> old_content = read_whole(file.get(), old_size);
  if (!old_content) return WriteOutcome::kUnchanged;
  const bool written =
      (content.size() <= old_size || write_range(file.get(), content, old_size, content.size())) &&
      write_range(file.get(), content, 0, std::min(old_size, content.size())) &&
      ftruncate(file.get(), static_cast<off_t>(content.size())) == 0 && fsync(file.get()) == 0;
  WriteOutcome outcome = WriteOutcome::kWritten;
  if (!written) {
    // The old content fits: the file had that length before.
    const bool restored = write_range(file.get(), old_content->view(), 0, old_size) &&
                          ftruncate(file.get(), size) == 0 && fsync(file.get()) == 0;
    outcome = restored ? WriteOutcome::kRestored : WriteOutcome::kDamaged;
  }
  return outcome;
}

// The file a write to `path` must replace: a symlink's final target, so the
// link itself stays a link.
std::filesystem::path replacement_target(const std::string& path) {
  std::error_code error;
  std::filesystem::path target = std::filesystem::weakly_canonical(path, error);
  return error ? std::filesystem::path(path) : target;
}

// The status of `name` in `folder`: nothing when there is no such file
// (ENOENT), an error when it cannot be read.
struct OldFile {
  bool readable = false;
  std::optional<struct stat> status;
};

OldFile old_file(const Folder& folder, const std::string& name) {
  struct stat status {};
  if (fstatat(folder.fd.get(), name.c_str(), &status, 0) == 0) return {true, status};
  return {errno == ENOENT, std::nullopt};
}

}  // namespace

ConfigRead read_config_file(const std::string& path) {
  // Plain reads, so that a directory or an I/O error is an answer here and
  // never an exception out of a stream buffer.
  off_t size = 0;
  const UniqueFd file = open_regular(path, O_RDONLY, &size);
  if (!file.valid()) return Unexpected<ConfigReadError>{ConfigReadError::kUnreadable};
  if (static_cast<std::size_t>(size) > kMaxConfigBytes) {
    return Unexpected<ConfigReadError>{ConfigReadError::kTooLarge};
  }
  // Read straight into a Secret, which leaves no copy of a password in a
  // released buffer, even when the file grows while it is read; that is held
  // to the same limit.
  Secret content;
  content.reserve(static_cast<std::size_t>(size) + 1);
  const int failure = read_all(file.get(), content, ReadEnd::kEmptyRead, kMaxConfigBytes);
  if (failure == 0) return content;
  return Unexpected<ConfigReadError>{failure == EFBIG ? ConfigReadError::kTooLarge
                                                      : ConfigReadError::kUnreadable};
}

std::string read_error_message(const std::string& path, ConfigReadError error) {
  return error == ConfigReadError::kTooLarge ? too_large_message(path) : "Could not open " + path;
}

std::string size_limit_text() {
  return "larger than " + std::to_string(kMaxConfigBytes >> 20) + " MiB";
}

std::string too_large_message(const std::string& path) { return path + " is " + size_limit_text(); }

WriteOutcome replace_config_file(const std::string& path, std::string_view content) {
  const std::filesystem::path target = replacement_target(path);
  const std::optional<Folder> folder = open_folder(target.parent_path(), true);
  if (!folder) return rewrite_in_place(target.string(), content);
  const OldFile old = old_file(*folder, target.filename());
  if (!old.status) return WriteOutcome::kUnchanged;
  ReplacementFile replacement(*folder, target.filename());
  if (!replacement.valid()) return rewrite_in_place(target.string(), content);
  const bool replaced = write_all(replacement.fd(), content) &&
                        replacement.replace_target(old.status->st_mode & 07777, old.status);
  return replaced ? WriteOutcome::kWritten : WriteOutcome::kUnchanged;
}

bool replace_config_file_with(const std::string& path,
                              const std::function<bool(const std::string& temp_path)>& fill,
                              mode_t new_file_mode) {
  const std::filesystem::path target = replacement_target(path);
  const std::optional<Folder> folder = open_folder(target.parent_path(), true);
  if (!folder) return false;
  // Only a file that is not there takes the new file's mode; one whose
  // status cannot be read is not replaced.
  const OldFile old = old_file(*folder, target.filename());
  if (!old.readable) return false;
  ReplacementFile replacement(*folder, target.filename());
  if (!replacement.valid() || !fill(replacement.path())) return false;
  return replacement.replace_target(old.status ? old.status->st_mode & 07777 : new_file_mode,
                                    old.status);
}

std::error_code replace_file(const std::string& path, const std::string& content, mode_t mode) {
  // errno of the step that failed, taken before anything is cleaned up.
  const auto failure = [] { return std::error_code(errno, std::generic_category()); };
  // The name itself is replaced, never followed: a link planted at `path`
  // must not turn the report into a write to the file it points to.
  const std::filesystem::path name(path);
  if (name.filename().empty()) return std::make_error_code(std::errc::is_a_directory);
  const std::optional<Folder> folder = open_folder(name.parent_path(), false);
  if (!folder) return failure();
  ReplacementFile replacement(*folder, name.filename());
  const bool replaced = replacement.valid() && write_all(replacement.fd(), content) &&
                        replacement.replace_target(mode, std::nullopt);
  return replaced ? std::error_code() : failure();
}

}  // namespace vesk
