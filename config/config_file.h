#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace vesk {

// The whole content of the file at `path`, or nothing when it cannot be
// opened or read to its end (a directory, an I/O error).
std::optional<std::string> read_config_file(const std::string& path);

// Replaces the content of the file at `path` (the target when `path` is a
// symlink; the link stays) so that a crash or a full disk leaves either the
// old content or the new, never a mix: the new content goes to a temporary
// file in the same directory, is flushed to disk, given the old file's
// permission bits, owner and group, and renamed over the old file.
// When no temporary file can be made there (a directory the console may not
// write), the file is rewritten in place without truncating it first: a
// full disk then leaves the old content, but a crash during the write can
// leave a mix of old and new.
// Returns false when the content could not be written; on the temporary
// file path the old content is then untouched.
bool replace_config_file(const std::string& path, const std::string& content);

// Like replace_config_file, but the new content is whatever `fill` writes
// to the temporary path it is given (an existing, empty file). `fill`
// returns whether it succeeded. A new file (none at `path` before) gets
// `new_file_mode`. Returns false, with the old file untouched and the
// temporary file removed, when no temporary file can be made, `fill` fails,
// or the rename fails. There is no in-place fallback.
bool replace_config_file_with(const std::string& path,
                              const std::function<bool(const std::string& temp_path)>& fill,
                              mode_t new_file_mode);

}  // namespace vesk
