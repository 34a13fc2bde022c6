#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

#include "security/unique_fd.h"

namespace vesk {

// An open folder, the place a file is replaced in: every name below is
// taken relative to it, so a link swapped into the path meanwhile changes
// nothing.
struct Folder {
  std::string path;  // as given, for messages and for outside programs
  UniqueFd fd;
};

// Opens the folder at `path` ("" is the working directory). With
// `follow_link` false a link at `path` itself is refused (ENOTDIR). Nothing
// when it cannot be opened; errno says why.
std::optional<Folder> open_folder(const std::string& path, bool follow_link);

// Removes what an earlier run that was killed left in `folder`: the
// entries named `prefix` followed by six letters or digits (the random part
// of a temporary name) that are regular files, or folders when
// `folders` is set, and that no live process holds (see below). Leaves
// every other entry alone.
void remove_leftovers(const Folder& folder, const std::string& prefix, bool folders);

// Takes the lock that keeps remove_leftovers away from `fd`'s file or
// folder while its maker is alive.
void hold_against_cleanup(int fd);

// A new, empty temporary file ".<name>.XXXXXX" (mode 0600) in `folder`,
// made after removing the leftovers of that pattern; removed when the
// object goes unless it replaced `name`.
class ReplacementFile {
 public:
  ReplacementFile(const Folder& folder, std::string name);
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  bool valid() const { return file_.valid(); }
  int fd() const { return file_.get(); }
  // The temporary file's path, for an outside program that fills it.
  std::string path() const;

  // Gives the file permission bits `mode` and, when `owner` is given, its
  // owner and group, flushes it to disk and renames it over `name`. False,
  // with `name` untouched, when any step fails: a file whose owner or
  // group could not be kept never replaces the old one.
  bool replace_target(mode_t mode, const std::optional<struct stat>& owner);

 private:
  const Folder& folder_;
  std::string name_;
  std::string temporary_name_;
  UniqueFd file_;
  bool renamed_ = false;
};

}  // namespace vesk
