// Every function that takes outside bytes, on any bytes; a crash, a
// sanitizer report or a broken property aborts.
// - "R" + bytes: the daemon's answer, with the real unvault behind it, is a
//   reply exactly when the request text (the first read's bytes up to a
//   NUL) holds a ":".
// - a tier byte + "key NUL file" (or only the file, for admin_pass): the
//   configuration rewrite keeps every line it does not rebuild byte for
//   byte, and a second pass changes nothing.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "config/policy_rules.h"
#include "daemon/request_protocol.h"
#include "security/blob_format.h"
#include "security/base_key.h"
#include "security/security_service.h"

namespace {

using namespace vesk;

void answer_request(const std::string& input) {
  static const SecurityService service(kShadowKeysPath, base_key_bytes());
  const Unvaulter unvault = [](const std::string& blob, int tier) {
    return service.unvault(blob, tier, "");
  };
  std::string_view request = std::string_view(input).substr(0, kMaxRequestBytes);
  request = request.substr(0, request.find('\0'));
  if (reply_to_request(input, unvault).has_value() != (request.find(':') != std::string::npos)) {
    std::abort();
  }
}

void rewrite_file(int tier, const std::string& input) {
  const std::size_t nul = input.find('\0');
  const SecurityTarget target{"PASSES",
                              nul == std::string::npos ? "admin_pass" : input.substr(0, nul)};
  const std::string file = nul == std::string::npos ? input : input.substr(nul + 1);
  // Stands in for the vault: a well-formed blob of the tier, whatever the value.
  const std::string blob = blob_prefix(tier) + "AAECAwQFBgcICQoLDA0OD664kzSMRj2X5tfdsZRK59E=";
  const PolicyCrypto crypto{
      .vault = [&blob](const std::string&) { return blob; },
      .unwrap = [](const std::string& text, int) -> std::optional<std::string> { return text; }};
  const PolicyRewrite first = apply_policy(file, target, tier, crypto);
  const std::vector<ConfigLine> before = split_config_lines(file);
  const std::vector<ConfigLine> after = split_config_lines(first.text);
  if (before.size() != after.size() || first.encryption_failed) std::abort();
  for (std::size_t i = 0, rebuilt = 0; i < before.size(); ++i) {
    if (rebuilt < first.rebuilt_lines.size() && first.rebuilt_lines[rebuilt] == i) {
      ++rebuilt;
      continue;
    }
    // A last line that gained its newline may read back as a CRLF line: compare bytes.
    std::string old_bytes = before[i].text + before[i].ending;
    if (i + 1 == before.size() && before[i].ending.empty() && rebuilt > 0) old_bytes += "\n";
    if (old_bytes != after[i].text + after[i].ending) std::abort();
  }
  const PolicyRewrite second = apply_policy(first.text, target, tier, crypto);
  if (!second.rebuilt_lines.empty() || second.text != first.text) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] == 'R') {
    answer_request(rest);
  } else {
    rewrite_file(1 + data[0] % 2, rest);
  }
  return 0;
}
