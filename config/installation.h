#pragma once

#include <sys/types.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "config/policy_rules.h"

namespace vesk {

// The installation's layout. The relative names act in keywarden's working
// directory (the installation directory), which it never changes.
inline const std::string LOCAL_CONFIG = "installation.toml";
inline const std::string PUBLIC_KEY_PATH = "public_key.pem";
// The protected files, one word each, made immutable and mutable together.
inline const std::string SYSTEM_FILES = "installation.toml keywarden tarvemill_run";
inline const std::string APP_BINARY = "tarvemill_run";
// The configuration's permission bits: read-only once sealed, else writable
// by root.
inline constexpr mode_t SEALED_MODE = 0444;
inline constexpr mode_t OPEN_MODE = 0644;

// Permission bits as chmod's octal operand: 0444 is "444".
std::string chmod_operand(mode_t mode);

// SYSTEM_FILES, a name per element.
std::vector<std::string> system_file_names();

// The passwords every stage protects, in the order they are processed.
std::array<SecurityTarget, 5> security_policy();

// The configuration a program works on: LOCAL_CONFIG when `exists` says it
// is there, `installed_config` otherwise.
std::string choose_config_path(const std::function<bool(const std::string&)>& exists,
                               const std::string& installed_config);

// Whether anything exists at `path`: the POSIX existence test.
bool file_exists(const std::string& path);

// Whether this process may write `path`: the POSIX write-access test. An
// installation is sealed when its configuration fails it (for root, only
// the immutable attribute makes it fail; a missing file fails it too).
bool is_writable(const std::string& path);

}  // namespace vesk
