// The daemon's answer to any request bytes, with the real unvault behind it:
// no crash, and a reply exactly when the request text holds a ":".

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "daemon/request_protocol.h"
#include "security/base_key.h"
#include "security/security_service.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vesk;
  static const SecurityService service(kShadowKeysPath, base_key_bytes());
  const Unvaulter unvault = [](const std::string& blob, int tier) {
    return service.unvault(blob, tier, "");
  };
  const std::string input(reinterpret_cast<const char*>(data), size);
  // Only the first read's bytes up to a NUL count; without a ":" no reply.
  std::string_view request = std::string_view(input).substr(0, kMaxRequestBytes);
  request = request.substr(0, request.find('\0'));
  if (reply_to_request(input, unvault).has_value() != (request.find(':') != std::string::npos)) {
    std::abort();
  }
  return 0;
}
