#include "config/replacement_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <iterator>
#include <memory>
#include <vector>

namespace vesk {

namespace {

constexpr std::size_t kRandomPartSize = 6;

bool is_leftover_name(std::string_view name, std::string_view prefix) {
  if (name.size() != prefix.size() + kRandomPartSize || !name.starts_with(prefix)) return false;
  name.remove_prefix(prefix.size());
  return std::all_of(name.begin(), name.end(),
                     [](char letter) { return std::isalnum(static_cast<unsigned char>(letter)); });
}

std::vector<std::string> entry_names(const Folder& folder) {
  std::vector<std::string> names;
  // The stream owns a descriptor of its own, so `folder` stays open.
  const int listing = openat(folder.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return names;
  const std::unique_ptr<DIR, int (*)(DIR*)> stream(fdopendir(listing), closedir);
  if (!stream) {
    close(listing);
    return names;
  }
  while (const dirent* entry = readdir(stream.get())) names.emplace_back(entry->d_name);
  return names;
}

// A name of the temporary file pattern with a fresh random part.
std::string random_name(const std::string& prefix) {
  constexpr std::string_view kLetters =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::array<unsigned char, kRandomPartSize> random{};
  if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) return {};
  std::string name = prefix;
  std::transform(random.begin(), random.end(), std::back_inserter(name),
                 [&kLetters](unsigned char byte) { return kLetters[byte % kLetters.size()]; });
  return name;
}

}  // namespace

std::optional<Folder> open_folder(const std::string& path, bool follow_link) {
  const std::string where = path.empty() ? "." : path;
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW);
  UniqueFd fd(open(where.c_str(), flags));
  if (!fd.valid()) return std::nullopt;
  return Folder{where, std::move(fd)};
}

void hold_against_cleanup(int fd) { (void)flock(fd, LOCK_EX | LOCK_NB); }

void remove_leftovers(const Folder& folder, const std::string& prefix, bool folders) {
  for (const std::string& name : entry_names(folder)) {
    if (!is_leftover_name(name, prefix)) continue;
    const UniqueFd entry(
        openat(folder.fd.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!entry.valid() || fstat(entry.get(), &status) != 0) continue;
    const bool wanted = folders ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode);
    // A live run holds its own temporary file or folder locked.
    if (!wanted || flock(entry.get(), LOCK_EX | LOCK_NB) != 0) continue;
    if (!folders) {
      (void)unlinkat(folder.fd.get(), name.c_str(), 0);
      continue;
    }
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(folder.path) / name, ignored);
  }
}

ReplacementFile::ReplacementFile(const Folder& folder, std::string name)
    : folder_(folder), name_(std::move(name)) {
  const std::string prefix = "." + name_ + ".";
  remove_leftovers(folder_, prefix, false);
  for (int attempt = 0; attempt < 100 && !file_.valid(); ++attempt) {
    temporary_name_ = random_name(prefix);
    if (temporary_name_.empty()) return;
    file_.reset(openat(folder_.fd.get(), temporary_name_.c_str(),
                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file_.valid() && errno != EEXIST) return;
  }
  if (file_.valid()) hold_against_cleanup(file_.get());
}

ReplacementFile::~ReplacementFile() {
  if (file_.valid() && !renamed_) (void)unlinkat(folder_.fd.get(), temporary_name_.c_str(), 0);
}

std::string ReplacementFile::path() const { return folder_.path + "/" + temporary_name_; }

bool ReplacementFile::replace_target(mode_t mode, const std::optional<struct stat>& owner) {
  struct stat made {};
  if (fchmod(file_.get(), mode) != 0 || fstat(file_.get(), &made) != 0) return false;
  // Handing a file to another owner needs privilege; a console without it
  // that cannot keep the owner writes nothing rather than take the file.
  const bool owner_differs =
      owner && (owner->st_uid != made.st_uid || owner->st_gid != made.st_gid);
  if (owner_differs && fchown(file_.get(), owner->st_uid, owner->st_gid) != 0) return false;
  if (fsync(file_.get()) != 0) return false;
  if (renameat(folder_.fd.get(), temporary_name_.c_str(), folder_.fd.get(), name_.c_str()) != 0) {
    return false;
  }
  renamed_ = true;
  // Makes the rename itself durable; the new content is in place either way.
  (void)fsync(folder_.fd.get());
  return true;
}

}  // namespace vesk
