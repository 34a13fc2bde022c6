#include "security/base64.h"

#include <algorithm>
#include <climits>

#include "security/errors.h"
#include "security/openssl_handles.h"

namespace vesk {

namespace {

BioChain make_base64_filter(BIO* below) {
  BioChain chain(BIO_new(BIO_f_base64()));
  if (!chain) {
    BIO_free_all(below);
    return chain;
  }
  BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);
  BIO_push(chain.get(), below);
  return chain;
}

}  // namespace

std::string encode_base64(const SecureBytes& bytes) {
  if (bytes.size() > INT_MAX) throw CryptoError("payload too large to encode");
  BIO* sink = BIO_new(BIO_s_mem());
  if (sink == nullptr) throw CryptoError("cannot create memory sink");
  const BioChain chain = make_base64_filter(sink);
  if (!chain) throw CryptoError("cannot create base64 filter");

  const int length = static_cast<int>(bytes.size());
  if (BIO_write(chain.get(), bytes.data(), length) != length || BIO_flush(chain.get()) != 1) {
    throw CryptoError("base64 encoding failed");
  }
  char* encoded = nullptr;
  const long encoded_length = BIO_get_mem_data(sink, &encoded);
  if (encoded_length < 0 || (encoded_length > 0 && encoded == nullptr)) {
    throw CryptoError("base64 encoding failed");
  }
  return std::string(encoded, static_cast<std::size_t>(encoded_length));
}

SecureBytes decode_base64(std::string_view text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  const int length = static_cast<int>(text.size());
  BIO* source = BIO_new_mem_buf(text.data(), length);
  if (source == nullptr) return {};
  const BioChain chain = make_base64_filter(source);
  if (!chain) return {};

  // Decoded data is never longer than its text, so one read of the text's
  // length takes all of it.
  SecureBytes decoded(text.size());
  const int count = BIO_read(chain.get(), decoded.data(), length);
  drain_openssl_errors();
  decoded.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
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
