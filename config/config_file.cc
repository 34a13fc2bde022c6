#include "config/config_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "config/temporary_entry.h"
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

// Gives the temporary file `mode` and, when `owner` is given, its owner and
// group, then renames it over `name` (see TemporaryEntry::rename_over).
// A file whose owner or group could not be kept never replaces the old one:
// handing a file to another owner needs privilege, and a console without it
// writes nothing rather than take the file.
WriteOutcome put_in_place(TemporaryEntry& file, const std::string& name, mode_t mode,
                          const std::optional<struct stat>& owner) {
  struct stat made {};
  if (fchmod(file.fd(), mode) != 0 || fstat(file.fd(), &made) != 0) return WriteOutcome::kUnchanged;
  const bool owner_differs =
      owner && (owner->st_uid != made.st_uid || owner->st_gid != made.st_gid);
  if (owner_differs && fchown(file.fd(), owner->st_uid, owner->st_gid) != 0) {
    return WriteOutcome::kUnchanged;
  }
  if (!file.rename_over(name)) return WriteOutcome::kWritten;
  // Renamed but not flushed: in place now, maybe not after a power cut.
  return file.renamed() ? WriteOutcome::kNotSynced : WriteOutcome::kUnchanged;
}

std::string temporary_prefix(const std::string& name) { return "." + name + "."; }

}  // namespace

ConfigRead read_config_file(const std::string& path, std::size_t limit) {
  // Plain reads, so that a directory or an I/O error is an answer here and
  // never an exception out of a stream buffer.
  off_t size = 0;
  const UniqueFd file = open_regular(path, O_RDONLY, &size);
  if (!file.valid()) {
    return Unexpected<ConfigReadError>{errno == ENOENT ? ConfigReadError::kMissing
                                                       : ConfigReadError::kUnreadable};
  }
  if (static_cast<std::size_t>(size) > limit) {
    return Unexpected<ConfigReadError>{ConfigReadError::kTooLarge};
  }
  // Read straight into a Secret, which leaves no copy of a password in a
  // released buffer, even when the file grows while it is read; that is held
  // to the same limit.
  Secret content;
  content.reserve(static_cast<std::size_t>(size) + 1);
  const int failure = read_all(file.get(), content, ReadEnd::kEmptyRead, limit);
  if (failure == 0) return content;
  return Unexpected<ConfigReadError>{failure == EFBIG ? ConfigReadError::kTooLarge
                                                      : ConfigReadError::kUnreadable};
}

std::string size_limit_text(std::size_t limit) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  return "larger than " + (limit % kMiB == 0 ? std::to_string(limit / kMiB) + " MiB"
                                             : std::to_string(limit) + " bytes");
}

std::string read_error_message(const std::string& path, ConfigReadError error, std::size_t limit) {
  return error == ConfigReadError::kTooLarge ? path + " is " + size_limit_text(limit)
                                             : "Could not open " + path;
}

std::string write_error_message(const std::string& path, WriteOutcome outcome) {
  switch (outcome) {
    case WriteOutcome::kRestored:
      return "Could not write " + path + "; its old content was put back";
    case WriteOutcome::kDamaged:
      return "Could not write " + path +
             "; it may be damaged: its old content could not be put back";
    case WriteOutcome::kNotSynced:
      return "Could not write " + path + " to disk; its new content may not survive a power cut";
    case WriteOutcome::kWritten:
    case WriteOutcome::kUnchanged:
      break;
  }
  return "Could not write " + path;
}

WriteOutcome replace_config_file(const std::string& path, std::string_view content) {
  const std::filesystem::path target = replacement_target(path);
  const Expected<Folder, std::error_code> folder = open_folder(target.parent_path(), true);
  if (!folder) return rewrite_in_place(target.string(), content);
  const OldFile old = old_file(*folder, target.filename());
  if (!old.status) return WriteOutcome::kUnchanged;
  Expected<TemporaryEntry, std::error_code> file =
      TemporaryEntry::make(*folder, temporary_prefix(target.filename()), EntryKind::kFile);
  if (!file) return rewrite_in_place(target.string(), content);
  if (write_all(file->fd(), content)) return WriteOutcome::kUnchanged;
  return put_in_place(*file, target.filename(), old.status->st_mode & 07777, old.status);
}

WriteOutcome replace_config_file_with(const std::string& path,
                                      const std::function<bool(const std::string& temp_path)>& fill,
                                      mode_t new_file_mode) {
  const std::filesystem::path target = replacement_target(path);
  const Expected<Folder, std::error_code> folder = open_folder(target.parent_path(), true);
  if (!folder) return WriteOutcome::kUnchanged;
  // Only a file that is not there takes the new file's mode; one whose
  // status cannot be read is not replaced.
  const OldFile old = old_file(*folder, target.filename());
  if (!old.readable) return WriteOutcome::kUnchanged;
  Expected<TemporaryEntry, std::error_code> file =
      TemporaryEntry::make(*folder, temporary_prefix(target.filename()), EntryKind::kFile);
  if (!file || !fill(file->path())) return WriteOutcome::kUnchanged;
  return put_in_place(*file, target.filename(),
                      old.status ? old.status->st_mode & 07777 : new_file_mode, old.status);
}

std::error_code replace_file(const std::string& path, const std::string& content, mode_t mode,
                             bool* renamed) {
  // The name itself is replaced, never followed: a link planted at `path`
  // must not turn the report into a write to the file it points to.
  const std::filesystem::path name(path);
  if (name.filename().empty()) return std::make_error_code(std::errc::is_a_directory);
  const Expected<Folder, std::error_code> folder = open_folder(name.parent_path(), false);
  if (!folder) return folder.error();
  Expected<TemporaryEntry, std::error_code> file =
      TemporaryEntry::make(*folder, temporary_prefix(name.filename()), EntryKind::kFile);
  if (!file) return file.error();
  if (const std::error_code error = write_all(file->fd(), content)) return error;
  if (fchmod(file->fd(), mode) != 0) return last_error();
  const std::error_code error = file->rename_over(name.filename());
  if (renamed != nullptr) *renamed = file->renamed();
  return error;
}

}  // namespace vesk
