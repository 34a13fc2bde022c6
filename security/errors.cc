#include "security/errors.h"

#include <openssl/err.h>

#include <array>

namespace vesk {

std::string drain_openssl_errors() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    std::array<char, 256> line{};
    ERR_error_string_n(code, line.data(), line.size());
    if (!text.empty()) text += "; ";
    text += line.data();
  }
  return text;
}

CryptoError::CryptoError(const std::string& what)
    : std::runtime_error([&what] {
        const std::string queued = drain_openssl_errors();
        return queued.empty() ? what : what + " (" + queued + ")";
      }()) {}

}  // namespace vesk
