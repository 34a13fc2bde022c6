#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "config/policy_rules.h"

namespace vesk {

// The installation's layout. The relative names act in keywarden's working
// directory (the installation directory), which it never changes.
inline const std::string PROD_CONFIG = "/opt/vesk/installation.toml";
inline const std::string LOCAL_CONFIG = "installation.toml";
inline const std::string PUBLIC_KEY_PATH = "public_key.pem";
// The protected files, one word each, made immutable and mutable together.
inline const std::string SYSTEM_FILES = "installation.toml keywarden tarvemill_run";
inline const std::string APP_BINARY = "tarvemill_run";

// SYSTEM_FILES, a name per element.
std::vector<std::string> system_file_names();

// The passwords every stage protects, in the order they are processed.
std::array<SecurityTarget, 5> security_policy();

// The configuration a program works on: LOCAL_CONFIG when `exists` says it
// is there, PROD_CONFIG otherwise.
std::string choose_config_path(const std::function<bool(const std::string&)>& exists);

}  // namespace vesk
