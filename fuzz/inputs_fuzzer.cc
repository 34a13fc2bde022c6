// Every function that takes outside bytes, on any bytes; a crash, a
// sanitizer report or a broken property aborts.
// - "R" + bytes: the daemon's answer, with the real unvault behind it.
// - a tier byte + a file: the rewrite of admin_pass keeps the number of
//   lines and every line it does not rebuild byte for byte, and a second
//   pass changes nothing.

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "config/policy_rules.h"
#include "daemon/request_protocol.h"
#include "machine/device_paths.h"
#include "security/base_key.h"
#include "security/blob_format.h"
#include "security/security_service.h"

namespace {

using namespace vesk;

void answer_request(const std::string& input) {
  static const SecurityService service(base_key_bytes(), DevicePaths{}.hardware);
  (void)reply_to_request(input, [](std::string_view blob, int tier) {
    return service.cipher.unvault(blob, tier, "");
  });
}

void rewrite_file(int tier, const std::string& file) {
  const SecurityTarget target{"PASSES", "admin_pass"};
  // Stands in for the vault: a well-formed blob of the tier, whatever the value.
  const std::string blob = blob_prefix(tier) + "AAECAwQFBgcICQoLDA0OD664kzSMRj2X5tfdsZRK59E=";
  const PolicyCrypto crypto{
      .vault = [&blob](std::string_view) { return blob; },
      .unwrap = [](std::string_view text, int) -> std::optional<Secret> { return Secret(text); }};
  const PolicyRewrite first = apply_policy(file, target, tier, crypto);
  const std::vector<ConfigLine> before = split_config_lines(file);
  const std::vector<ConfigLine> after = split_config_lines(first.text.view());
  if (before.size() != after.size() || first.encryption_failed) std::abort();
  const auto& rebuilt = first.rebuilt_lines;
  for (std::size_t i = 0; i < before.size(); ++i) {
    // A last line that gained its newline may read back as a CRLF line: compare bytes.
    const bool gained = i + 1 == before.size() && before[i].ending.empty() && !rebuilt.empty();
    if (std::count(rebuilt.begin(), rebuilt.end(), i) == 0 &&
        std::string(before[i].text.view()) + before[i].ending + (gained ? "\n" : "") !=
            std::string(after[i].text.view()) + after[i].ending) {
      std::abort();
    }
  }
  const PolicyRewrite second = apply_policy(first.text.view(), target, tier, crypto);
  if (!second.rebuilt_lines.empty() || second.text.view() != first.text.view()) std::abort();
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
