#pragma once

#include <string>
#include <string_view>

#include "security/secure_memory.h"

namespace vesk {

// Standard-alphabet Base64 with "=" padding and no line breaks. Throws
// CryptoError for more bytes than an int can count in Base64.
std::string encode_base64(const SecureBytes& bytes);

// Decodes `text` exactly as OpenSSL's base64 filter in no-newline mode
// does in one read, which stored blobs were always read with: well-formed
// Base64 gives its bytes; text that is not Base64 gives what decoded before
// the first 1024-character piece that does not (often nothing).
SecureBytes decode_base64(std::string_view text);

// Switch between the standard alphabet ("+", "/") and the URL-safe one
// ("-", "_"); "=" padding is kept either way.
void to_url_safe_alphabet(std::string& base64);
void to_standard_alphabet(std::string& base64);

}  // namespace vesk
