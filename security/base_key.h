#pragma once

#include <string_view>

#include "security/secure_memory.h"

namespace vesk {

// The key material every vesk program is built with. Both programs must
// hold the same bytes: they derive the same tier keys only from them, and
// every blob already stored on a device depends on them.
inline constexpr std::string_view kBaseKey = "ZEPHYR_KEY";

inline SecureBytes base_key_bytes() { return SecureBytes(kBaseKey.begin(), kBaseKey.end()); }

}  // namespace vesk
