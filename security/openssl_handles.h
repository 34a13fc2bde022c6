#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <memory>

namespace vesk {

// Owning handles for the OpenSSL objects the library creates; nothing is
// ever freed by hand.
struct CipherContextDeleter {
  void operator()(EVP_CIPHER_CTX* context) const noexcept { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

// Frees a whole filter chain (the filter and every BIO pushed below it).
struct BioChainDeleter {
  void operator()(BIO* chain) const noexcept { BIO_free_all(chain); }
};
using BioChain = std::unique_ptr<BIO, BioChainDeleter>;

}  // namespace vesk
