#pragma once

#include <optional>
#include <string>

#include "tests/support/temp_dir.h"

namespace vesk::testing {

// Decrypts a blob independently of the library: Base64 with coreutils,
// AES-256-CBC with the openssl command line. Returns nothing on failure.
std::optional<std::string> decrypt_with_openssl_cli(const std::string& blob,
                                                    const std::string& key_hex,
                                                    const ScopedTempDir& scratch);

// Makes a blob of `tier` independently of the library from `value`, the key
// and a chosen IV, both in hex.
std::string encrypt_with_openssl_cli(int tier, const std::string& value, const std::string& key_hex,
                                     const std::string& iv_hex, const ScopedTempDir& scratch);

}  // namespace vesk::testing
