#include "security/base64.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>

#include "security/errors.h"

namespace vesk {

namespace {

// The pieces OpenSSL's base64 filter decodes a text in, without line
// breaks: stored blobs were read that way, so the decoding below keeps its
// every edge, not only its result for well-formed text.
constexpr std::size_t kDecodePiece = 1024;

const unsigned char* bytes_of(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

std::string encode_base64(const SecureBytes& bytes) {
  if (bytes.size() > INT_MAX / 4 * 3 - 3) throw CryptoError("payload too large to encode");
  // EVP_EncodeBlock writes no line breaks, and a NUL after the text.
  std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), bytes.data(),
                                     static_cast<int>(bytes.size()));
  encoded.resize(static_cast<std::size_t>(length));
  return encoded;
}

SecureBytes decode_base64(std::string_view text) {
  if (text.size() > INT_MAX) return {};
  // Each piece of up to 1024 characters is cut to a multiple of 4 and
  // decoded as one block (blanks around it ignored), less a byte for each
  // "=" among its last two characters. The first piece that does not decode
  // ends the text; 1-3 characters left at the end are ignored.
  SecureBytes decoded(text.size() / 4 * 3);
  std::size_t size = 0;
  while (text.size() >= 4) {
    const std::string_view piece =
        text.substr(0, std::min(kDecodePiece, text.size()) & ~std::size_t{3});
    text.remove_prefix(std::min(kDecodePiece, text.size()));
    const int count =
        EVP_DecodeBlock(decoded.data() + size, bytes_of(piece), static_cast<int>(piece.size()));
    if (count < 0) break;
    const int padding = piece.ends_with("==") ? 2 : piece.ends_with("=") ? 1 : 0;
    size += static_cast<std::size_t>(std::max(count - padding, 0));
  }
  decoded.resize(size);
  return decoded;
}

void to_url_safe_alphabet(std::string& base64) {
  std::replace(base64.begin(), base64.end(), '+', '-');
  std::replace(base64.begin(), base64.end(), '/', '_');
}

void to_standard_alphabet(std::string& base64) {
  std::replace(base64.begin(), base64.end(), '-', '+');
  std::replace(base64.begin(), base64.end(), '_', '/');
}

}  // namespace vesk
