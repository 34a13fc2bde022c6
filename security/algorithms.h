#pragma once

#include <openssl/evp.h>

#include <initializer_list>
#include <string_view>

namespace vesk {

// The algorithms of the blob format and the tier keys, fetched from
// OpenSSL's default provider on first use and kept for the life of the
// process: given EVP_aes_256_cbc() or EVP_sha256(), OpenSSL 3 looks the
// implementation up again in every init call. Throw CryptoError when the
// provider does not have one.
const EVP_CIPHER* blob_cipher();  // AES-256-CBC
const EVP_MD* key_digest();       // SHA-256

// Writes the SHA-256 digest of `parts`, one after the other, to `digest`
// (32 bytes), through a context the calling thread keeps: making one per
// call costs more than hashing a key's few bytes. The context's state,
// which ends as the digest, is started afresh after each use. Throws
// CryptoError.
void sha256(std::initializer_list<std::string_view> parts, unsigned char* digest);

}  // namespace vesk
