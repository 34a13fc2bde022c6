#pragma once

#include <optional>
#include <string>

namespace vesk {

// The whole content of the file at `path`, or nothing when it cannot be
// opened or read.
std::optional<std::string> read_config_file(const std::string& path);

// Replaces the content of the file at `path` (the target when `path` is a
// symlink; the link stays) so that a crash or a full disk leaves either the
// old content or the new, never a mix: the new content goes to a temporary
// file in the same directory, is flushed to disk, given the old file's
// permission bits, owner and group, and renamed over the old file.
// When no temporary file can be made there (a directory the console may not
// write), the file is rewritten in place without truncating it first.
// Returns false when the content could not be written; on the temporary
// file path the old content is then untouched.
bool replace_config_file(const std::string& path, const std::string& content);

}  // namespace vesk
