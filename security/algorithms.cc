#include "security/algorithms.h"

#include "security/errors.h"
#include "security/openssl_handles.h"

namespace vesk {

const EVP_CIPHER* blob_cipher() {
  static const FetchedCipher cipher(EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr));
  if (!cipher) throw CryptoError("AES-256-CBC is not available");
  return cipher.get();
}

const EVP_MD* key_digest() {
  static const FetchedDigest digest(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  if (!digest) throw CryptoError("SHA-256 is not available");
  return digest.get();
}

void sha256(std::initializer_list<std::string_view> parts, unsigned char* digest) {
  thread_local const DigestContext context(EVP_MD_CTX_new());
  EVP_MD_CTX* const hash = context.get();
  bool hashed = hash != nullptr && EVP_DigestInit_ex2(hash, key_digest(), nullptr) == 1;
  for (const std::string_view part : parts) {
    hashed = hashed && EVP_DigestUpdate(hash, part.data(), part.size()) == 1;
  }
  unsigned int length = 0;
  hashed = hashed && EVP_DigestFinal_ex(hash, digest, &length) == 1;
  // A fresh start overwrites the final state, which is the digest.
  if (hash != nullptr) (void)EVP_DigestInit_ex2(hash, key_digest(), nullptr);
  if (!hashed) throw CryptoError("SHA-256 failed");
}

}  // namespace vesk
