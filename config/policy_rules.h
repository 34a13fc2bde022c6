#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "security/secret.h"

namespace vesk {

// One configuration value to protect: a key of a section.
struct SecurityTarget {
  std::string section;
  std::string key;
};

// One line of the configuration file: its text and the line ending that
// follows it ("\r\n", "\n", or "" for a last line without LF).
struct ConfigLine {
  Secret text;
  std::string ending;
};

// Splits a file into lines at LF; a CR right before the LF belongs to the
// ending. A last line without LF is a line; an empty text has no lines.
std::vector<ConfigLine> split_config_lines(std::string_view file_text);

// The line up to its comment: the first "#" outside double quotes, every
// double quote flipping inside/outside (no escapes).
std::string_view cleaned_text(std::string_view line);

// The section a header line names ("[ PASSES ]" names PASSES), or nothing
// when the line is not a header.
std::optional<std::string> section_header_name(std::string_view line);

// Whether `value` could have stood in the configuration as a password:
// valid UTF-8 holding no NUL, CR, LF or double quote. A blob opened with a
// wrong key passes the padding check now and then and yields random bytes,
// which almost never pass this test.
bool could_stand_in_file(std::string_view value);

// The length (1-4) of the well-formed UTF-8 sequence `text` starts with, or
// 0 when it starts with none (or is empty).
std::size_t utf8_sequence_length(std::string_view text);

// One line that assigns a target's key in the target's section.
struct KeyOccurrence {
  std::size_t line;  // 0-based index among split_config_lines
  Secret value;      // its value by the value rules
};

// Every line of `file_text` that assigns `target.key` in a section named
// `target.section`, in file order, with its value.
std::vector<KeyOccurrence> find_key_values(std::string_view file_text,
                                           const SecurityTarget& target);

// What the rewrite needs from the vault.
struct PolicyCrypto {
  // Makes the blob of a plain value at the rewrite's tier; throws on failure.
  std::function<std::string(std::string_view value)> vault;
  // The plain value of a blob of `tier` when it decrypts cleanly, or nothing.
  std::function<std::optional<Secret>(std::string_view blob, int tier)> unwrap;
};

struct PolicyRewrite {
  Secret text;  // the whole new file
  // 0-based indexes of the vaulted lines (when encryption failed: those
  // vaulted before the failure, none of which reached `text`).
  std::vector<std::size_t> rebuilt_lines;
  bool encryption_failed = false;  // `text` is then the old text
  std::string failure;             // why encryption failed
};

// Whether the configuration allows remote updates: some line's text before
// its comment assigns true (bare or in double quotes) to exactly the key
// allow_remote_updates, in any section.
bool remote_updates_allowed(std::string_view file_text);

// Vaults, at `tier`, every plain value that `target.key` is assigned in
// section `target.section`. Every other line comes back byte for byte; a
// last line without LF gains one when anything is rebuilt. A well-formed
// blob of the other console tier (1 or 2) is vaulted from the value it
// unwraps to when that value could have stood in the file, else as text.
PolicyRewrite apply_policy(std::string_view file_text, const SecurityTarget& target, int tier,
                           const PolicyCrypto& crypto);

}  // namespace vesk
