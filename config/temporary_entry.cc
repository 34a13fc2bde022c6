#include "config/temporary_entry.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "security/file_io.h"

namespace vesk {

namespace {

constexpr std::size_t kRandomPartSize = 6;
constexpr int kNameAttempts = 100;

bool is_leftover_name(std::string_view name, std::string_view prefix) {
  if (name.size() != prefix.size() + kRandomPartSize || !name.starts_with(prefix)) return false;
  name.remove_prefix(prefix.size());
  return std::all_of(name.begin(), name.end(),
                     [](char letter) { return std::isalnum(static_cast<unsigned char>(letter)); });
}

// The names in the folder `fd`, "." and ".." aside; nothing when it cannot
// be listed.
std::optional<std::vector<std::string>> entry_names(int fd) {
  // The stream owns a descriptor of its own, so `fd` stays open.
  const int listing = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return std::nullopt;
  const std::unique_ptr<DIR, int (*)(DIR*)> stream(fdopendir(listing), closedir);
  if (!stream) {
    close(listing);
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(stream.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  return names;
}

// Removes everything in the open folder `fd`, going into subfolders through
// their own descriptors and never through a link.
std::error_code remove_contents(int fd) {
  const std::optional<std::vector<std::string>> names = entry_names(fd);
  if (!names) return last_error();
  for (const std::string& name : *names) {
    struct stat status {};
    if (fstatat(fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return last_error();
    if (S_ISDIR(status.st_mode)) {
      const UniqueFd inner(
          openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!inner.valid()) return last_error();
      if (const std::error_code error = remove_contents(inner.get())) return error;
    }
    if (unlinkat(fd, name.c_str(), S_ISDIR(status.st_mode) ? AT_REMOVEDIR : 0) != 0) {
      return last_error();
    }
  }
  return {};
}

bool same_inode(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

bool is_kind(const struct stat& status, EntryKind kind) {
  return kind == EntryKind::kFolder ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode);
}

// A name of the pattern with a fresh random part.
Expected<std::string, std::error_code> random_name(const std::string& prefix) {
  constexpr std::string_view kLetters =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::array<unsigned char, kRandomPartSize> random{};
  if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) {
    return Unexpected<std::error_code>{FileError::kNoRandomName};
  }
  std::string name = prefix;
  std::transform(random.begin(), random.end(), std::back_inserter(name),
                 [&kLetters](unsigned char byte) { return kLetters[byte % kLetters.size()]; });
  return name;
}

// Makes `name` in `folder` as `kind` and opens it; EEXIST when the name is
// taken (also by a folder that is not this user's own).
UniqueFd create(const Folder& folder, const std::string& name, EntryKind kind) {
  constexpr int kFlags = O_NOFOLLOW | O_CLOEXEC;
  if (kind == EntryKind::kFile) {
    return UniqueFd(
        openat(folder.fd.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | kFlags, 0600));
  }
  if (mkdirat(folder.fd.get(), name.c_str(), 0700) != 0) return {};
  UniqueFd fd(openat(folder.fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | kFlags));
  struct stat status {};
  if (!fd.valid() || fstat(fd.get(), &status) != 0) {
    const int error = errno;
    (void)unlinkat(folder.fd.get(), name.c_str(), AT_REMOVEDIR);
    errno = error;
    return {};
  }
  // Between mkdir and open, in a folder others may write to, another user
  // could put a folder of their own under the name.
  if (status.st_uid != geteuid() || (status.st_mode & 07777) != 0700) {
    errno = EEXIST;
    return {};
  }
  return fd;
}

}  // namespace

Expected<Folder, std::error_code> open_folder(const std::string& path, bool follow_link) {
  const std::string where = path.empty() ? "." : path;
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW);
  UniqueFd fd(open(where.c_str(), flags));
  if (!fd.valid()) return Unexpected<std::error_code>{last_error()};
  return Folder{where, std::move(fd)};
}

void remove_leftovers(const Folder& folder, const std::string& prefix, EntryKind kind) {
  const std::optional<std::vector<std::string>> names = entry_names(folder.fd.get());
  for (const std::string& name : names.value_or(std::vector<std::string>{})) {
    if (!is_leftover_name(name, prefix)) continue;
    struct stat listed {};
    if (fstatat(folder.fd.get(), name.c_str(), &listed, AT_SYMLINK_NOFOLLOW) != 0 ||
        !is_kind(listed, kind) || listed.st_uid != geteuid()) {
      continue;
    }
    const UniqueFd entry(
        openat(folder.fd.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    // A live run holds its entry locked; the lock is held while removing,
    // so its maker, should it lock the entry only now, finds it gone.
    if (!entry.valid() || fstat(entry.get(), &opened) != 0 || !same_inode(listed, opened) ||
        flock(entry.get(), LOCK_EX | LOCK_NB) != 0) {
      continue;
    }
    if (kind == EntryKind::kFolder && remove_contents(entry.get())) continue;
    (void)unlinkat(folder.fd.get(), name.c_str(), kind == EntryKind::kFolder ? AT_REMOVEDIR : 0);
  }
}

Expected<TemporaryEntry, std::error_code> TemporaryEntry::make(const Folder& folder,
                                                               const std::string& prefix,
                                                               EntryKind kind) {
  remove_leftovers(folder, prefix, kind);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    Expected<std::string, std::error_code> name = random_name(prefix);
    if (!name) return Unexpected<std::error_code>{name.error()};
    UniqueFd opened = create(folder, *name, kind);
    if (!opened.valid() && errno == EEXIST) continue;
    if (!opened.valid()) return Unexpected<std::error_code>{last_error()};
    // From here on a failure removes the entry, unless it is found to be no
    // longer this run's: another run's cleanup may have found it before it
    // was locked, and then holds the lock or has removed the name already.
    TemporaryEntry entry(folder, std::move(*name), std::move(opened), kind);
    if (flock(entry.fd(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK) return Unexpected<std::error_code>{last_error()};
      entry.fd_.reset();
      continue;
    }
    struct stat made {};
    struct stat named {};
    if (fstat(entry.fd(), &made) != 0) return Unexpected<std::error_code>{last_error()};
    const bool named_so =
        fstatat(folder.fd.get(), entry.name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0;
    if (!named_so && errno != ENOENT) return Unexpected<std::error_code>{last_error()};
    if (!named_so || !same_inode(made, named)) {
      entry.fd_.reset();
      continue;
    }
    return entry;
  }
  return Unexpected<std::error_code>{FileError::kNoFreeName};
}

TemporaryEntry::~TemporaryEntry() {
  if (fd_.valid() && !renamed_) (void)remove();
}

std::error_code TemporaryEntry::rename_over(const std::string& target) {
  if (fsync(fd_.get()) != 0) return last_error();
  if (renameat(folder_->fd.get(), name_.c_str(), folder_->fd.get(), target.c_str()) != 0) {
    return last_error();
  }
  renamed_ = true;
  // The rename is on disk only once its folder is.
  if (fsync(folder_->fd.get()) != 0) return last_error();
  return {};
}

std::error_code TemporaryEntry::remove() {
  if (!fd_.valid() || renamed_) return {};
  if (kind_ == EntryKind::kFolder) {
    if (const std::error_code error = remove_contents(fd_.get())) return error;
  }
  if (unlinkat(folder_->fd.get(), name_.c_str(), kind_ == EntryKind::kFolder ? AT_REMOVEDIR : 0) !=
      0) {
    return last_error();
  }
  fd_.reset();
  return {};
}

}  // namespace vesk
