#pragma once

#include <openssl/evp.h>

#include <memory>

namespace vesk {

// Owning handles for the OpenSSL objects the library creates; nothing is
// ever freed by hand.
struct CipherContextDeleter {
  void operator()(EVP_CIPHER_CTX* context) const noexcept { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

struct CipherDeleter {
  void operator()(EVP_CIPHER* cipher) const noexcept { EVP_CIPHER_free(cipher); }
};
using FetchedCipher = std::unique_ptr<EVP_CIPHER, CipherDeleter>;

struct DigestDeleter {
  void operator()(EVP_MD* digest) const noexcept { EVP_MD_free(digest); }
};
using FetchedDigest = std::unique_ptr<EVP_MD, DigestDeleter>;

}  // namespace vesk
