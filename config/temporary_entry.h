#pragma once

#include <string>
#include <system_error>

#include "security/expected.h"
#include "security/unique_fd.h"

namespace vesk {

// An open folder, the place temporary entries live in: every name below is
// taken relative to it, so a link swapped into the path meanwhile changes
// nothing.
struct Folder {
  std::string path;  // as given, for messages and for outside programs
  UniqueFd fd;
};

// Opens the folder at `path` ("" is the working directory). With
// `follow_link` false a link at `path` itself is refused (ENOTDIR).
Expected<Folder, std::error_code> open_folder(const std::string& path, bool follow_link);

enum class EntryKind { kFile, kFolder };

// Removes what killed runs left in `folder`: the entries named `prefix`
// followed by six letters or digits that are of `kind` (checked without
// following a link), owned by this process's user, and not held by a live
// run (see TemporaryEntry). Every other entry stays. Removal goes through
// the folder's descriptor, a folder's contents through its own, never by
// path and never through a link.
void remove_leftovers(const Folder& folder, const std::string& prefix, EntryKind kind);

// A temporary entry of this run's own in a folder: `prefix` followed by six
// random letters or digits, an empty file of mode 0600 or a folder of mode
// 0700, made after the leftovers of its pattern went. It is held locked
// (flock) for its whole life, and making and locking it are one step as far
// as any other run can tell: a cleanup removes an entry only while holding
// its lock, and the maker uses its entry only once it holds the lock and
// still finds it under its name. Removed with its contents when the object
// goes, unless it was renamed.
class TemporaryEntry {
 public:
  // `folder` must outlive the entry.
  static Expected<TemporaryEntry, std::error_code> make(const Folder& folder,
                                                        const std::string& prefix, EntryKind kind);
  TemporaryEntry(TemporaryEntry&& other) noexcept = default;
  TemporaryEntry& operator=(TemporaryEntry&& other) = delete;
  TemporaryEntry(const TemporaryEntry&) = delete;
  TemporaryEntry& operator=(const TemporaryEntry&) = delete;
  ~TemporaryEntry();

  int fd() const { return fd_.get(); }
  // Its path, for an outside program that fills it.
  std::string path() const { return folder_->path + "/" + name_; }
  bool renamed() const { return renamed_; }

  // Flushes the file to disk, renames it over `target` in the same folder
  // and flushes the folder, so that the rename survives a power cut. Why it
  // failed otherwise; renamed() tells whether it failed after the rename.
  std::error_code rename_over(const std::string& target);

  // Removes it, with its contents, now. Why it could not otherwise.
  std::error_code remove();

 private:
  TemporaryEntry(const Folder& folder, std::string name, UniqueFd fd, EntryKind kind)
      : folder_(&folder), name_(std::move(name)), fd_(std::move(fd)), kind_(kind) {}

  const Folder* folder_;
  std::string name_;
  UniqueFd fd_;
  EntryKind kind_;
  bool renamed_ = false;
};

}  // namespace vesk
