#include "security/blob_cipher.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <string>

#include "security/algorithms.h"
#include "security/base64.h"
#include "security/blob_format.h"
#include "security/errors.h"
#include "security/openssl_handles.h"

namespace vesk {

namespace {

constexpr std::size_t kIvSize = 16;
constexpr std::size_t kBlockSize = 16;

CipherContext new_cipher_context() {
  CipherContext context(EVP_CIPHER_CTX_new());
  if (!context) throw CryptoError("cannot create cipher context");
  return context;
}

}  // namespace

std::string BlobCipher::vault(std::string_view value, int tier, const std::string& extra) const {
  if (value.size() > INT_MAX - 2 * kBlockSize) throw CryptoError("value too large to vault");
  const SecureBytes key = keys_.derive(tier, extra);

  // The payload is IV || ciphertext; the ciphertext is written straight
  // behind the IV. PKCS#7 adds at most one block.
  SecureBytes payload(kIvSize + value.size() + 2 * kBlockSize, 0);
  if (RAND_bytes(payload.data(), static_cast<int>(kIvSize)) != 1) {
    throw CryptoError("random generator failed; no IV for the blob");
  }

  const CipherContext context = new_cipher_context();
  unsigned char* const ciphertext = payload.data() + kIvSize;
  int update_length = 0;
  int final_length = 0;
  if (EVP_EncryptInit_ex(context.get(), blob_cipher(), nullptr, key.data(), payload.data()) != 1 ||
      EVP_EncryptUpdate(context.get(), ciphertext, &update_length,
                        reinterpret_cast<const unsigned char*>(value.data()),
                        static_cast<int>(value.size())) != 1 ||
      EVP_EncryptFinal_ex(context.get(), ciphertext + update_length, &final_length) != 1) {
    throw CryptoError("encryption failed");
  }
  payload.resize(kIvSize + static_cast<std::size_t>(update_length) +
                 static_cast<std::size_t>(final_length));

  std::string body = encode_base64(payload);
  to_url_safe_alphabet(body);
  return blob_prefix(tier).append(body);
}

Expected<Secret, UnvaultError> BlobCipher::unvault(std::string_view blob, int tier,
                                                   const std::string& extra) const {
  if (blob.size() <= kBlobPrefixSize) return Unexpected<UnvaultError>{UnvaultError::kTooShort};
  std::string body(blob.substr(kBlobPrefixSize));
  to_standard_alphabet(body);
  const SecureBytes payload = decode_base64(body);
  if (payload.size() < kIvSize) return Unexpected<UnvaultError>{UnvaultError::kUndecodable};

  // An IV without ciphertext, or a ciphertext that is not whole blocks, is
  // no blob this format makes.
  const std::size_t ciphertext_size = payload.size() - kIvSize;
  if (ciphertext_size == 0 || ciphertext_size % kBlockSize != 0 ||
      ciphertext_size > INT_MAX - kBlockSize) {
    return Unexpected<UnvaultError>{UnvaultError::kDoesNotDecrypt};
  }

  const SecureBytes key = keys_.derive(tier, extra);
  const CipherContext context = new_cipher_context();
  // Decrypted straight into the value's own buffer, cut to length after.
  Secret plain;
  plain.resize(ciphertext_size + 2 * kBlockSize);
  auto* const out = reinterpret_cast<unsigned char*>(plain.data());
  int update_length = 0;
  int final_length = 0;
  if (EVP_DecryptInit_ex(context.get(), blob_cipher(), nullptr, key.data(), payload.data()) != 1 ||
      EVP_DecryptUpdate(context.get(), out, &update_length, payload.data() + kIvSize,
                        static_cast<int>(ciphertext_size)) != 1) {
    throw CryptoError("decryption could not start");
  }
  // A rejected padding means a wrong key or a damaged blob; what the update
  // step released is then garbage and must not reach anyone.
  if (EVP_DecryptFinal_ex(context.get(), out + update_length, &final_length) != 1) {
    drain_openssl_errors();
    return Unexpected<UnvaultError>{UnvaultError::kDoesNotDecrypt};
  }
  plain.resize(static_cast<std::size_t>(update_length) + static_cast<std::size_t>(final_length));
  return plain;
}

}  // namespace vesk
