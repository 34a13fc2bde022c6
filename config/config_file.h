#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "security/expected.h"
#include "security/secret.h"

namespace vesk {

// The largest configuration the programs read: far above any real one, and
// little enough to hold in memory on the appliance.
inline constexpr std::size_t kMaxConfigBytes = std::size_t{16} << 20;

// Why the configuration was not read.
enum class ConfigReadError {
  kMissing,     // there is no file at the path (ENOENT)
  kUnreadable,  // cannot be opened or read to its end, or no regular file
  kTooLarge,    // holds more than the limit
};

// The whole content of the configuration, or why there is none.
using ConfigRead = Expected<Secret, ConfigReadError>;

// Reads the whole content of the regular file at `path`. kMissing when
// there is none, kUnreadable when it cannot be opened or read to its end
// (a directory, an I/O error) or is not a regular file (a FIFO is never
// waited on), kTooLarge when it holds more than `limit` bytes.
ConfigRead read_config_file(const std::string& path, std::size_t limit = kMaxConfigBytes);

// "larger than 16 MiB" (or "larger than N bytes" for a limit that is no
// whole number of MiB): a size limit, as the messages name it.
std::string size_limit_text(std::size_t limit = kMaxConfigBytes);

// "<path> is larger than 16 MiB" when `error` is kTooLarge, "Could not
// open <path>" otherwise: why the configuration at `path` was not read, as
// the programs say it.
std::string read_error_message(const std::string& path, ConfigReadError error,
                               std::size_t limit = kMaxConfigBytes);

// What a replacement of the configuration came to.
enum class WriteOutcome {
  kWritten,    // the new content is in place
  kUnchanged,  // nothing was changed
  kRestored,   // an in-place write failed; the old content was put back
  kDamaged,    // an in-place write failed and the old content could not be
               // put back: the file may hold a mix of old and new
  kNotSynced,  // the new content is in place, but its folder could not be
               // flushed: after a power cut the old one may be back
};

// "Could not write <path>", and what became of the file for kRestored,
// kDamaged and kNotSynced: a failed replacement, as the console says it.
std::string write_error_message(const std::string& path, WriteOutcome outcome);

// Replaces the content of the file at `path` (the target when `path` is a
// symlink; the link stays) so that a crash or a full disk leaves either the
// old content or the new, never a mix: the new content goes to a temporary
// file in the same directory, is given the old file's permission bits,
// owner and group, flushed to disk and renamed over the old file, and the
// folder is flushed, so kWritten survives a power cut. When the old
// file's status cannot be read, or its owner and group cannot be given to
// the new file, nothing is replaced.
// When no temporary file can be made there (a directory the console may not
// write), the file is rewritten in place: its old content is read first,
// the part of the new content past the old end is written first, so a full
// disk fails before any old byte is overwritten, and after any failed write
// the old content is written back and the file cut to its old length. A
// crash during that write can leave a mix of old and new; the file is
// flushed before kWritten.
WriteOutcome replace_config_file(const std::string& path, std::string_view content);

// Like replace_config_file, but the new content is whatever `fill` writes
// to the temporary path it is given (an existing, empty file). `fill`
// returns whether it succeeded. A new file (none at `path` before: ENOENT)
// gets `new_file_mode`. kUnchanged, with the old file untouched and the
// temporary file removed, when the old file's status cannot be read, no
// temporary file can be made, `fill` fails, the old owner cannot be kept,
// or the rename fails; kNotSynced as above. There is no in-place fallback.
WriteOutcome replace_config_file_with(const std::string& path,
                                      const std::function<bool(const std::string& temp_path)>& fill,
                                      mode_t new_file_mode);

// Makes `content` the file at `path`, with permission bits `mode`, so that
// readers find either the old file or the new one, whole, and the new one
// survives a power cut: a temporary file in the same directory, flushed to
// disk and renamed over `path`, then the folder flushed. Neither a link at
// `path` nor one at its folder is followed: a link there is replaced.
// Returns why it could not, or no error; `renamed` (when given) says
// whether the new file is in place all the same (only its folder's flush
// failed).
std::error_code replace_file(const std::string& path, const std::string& content, mode_t mode,
                             bool* renamed = nullptr);

}  // namespace vesk
