#pragma once

#include <string>
#include <string_view>

#include "security/secure_memory.h"

namespace vesk {

// Standard-alphabet Base64 with "=" padding and no line breaks, made with
// OpenSSL's base64 filter. Throws CryptoError if the filter chain fails.
std::string encode_base64(const SecureBytes& bytes);

// Decodes `text` with OpenSSL's base64 filter in no-newline mode, in one
// read. Returns what that read delivered: empty when the text is not Base64
// or the filter reports an error.
SecureBytes decode_base64(std::string_view text);

// Switch between the standard alphabet ("+", "/") and the URL-safe one
// ("-", "_"); "=" padding is kept either way.
void to_url_safe_alphabet(std::string& base64);
void to_standard_alphabet(std::string& base64);

}  // namespace vesk
