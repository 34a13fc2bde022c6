// The policy step's rewrite of any file text for any key at tiers 1 and 2:
// lines it does not rebuild come back byte for byte, rebuilt lines hold a
// blob of the tier that opens to the old value, and a second pass at the
// same tier changes nothing.

#include <cstdint>
#include <optional>

#include "console/policy_rules.h"
#include "fuzz/fuzz_support.h"
#include "security/errors.h"

namespace {

using namespace vesk;

PolicyCrypto crypto_at(const SecurityService& service, int tier) {
  return {.vault = [&service, tier](const std::string& value) { return service.vault(value, tier, ""); },
          .unwrap = [&service](const std::string& blob, int blob_tier) -> std::optional<std::string> {
            try {
              return service.unvault(blob, blob_tier, "");
            } catch (const CryptoError&) {
              return std::nullopt;
            }
          }};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const SecurityService& service = fuzzing::fake_device_service();
  const int tier = 1 + data[0] % 2;
  // The key runs to the first NUL; the file text follows it. Without a NUL
  // the key is admin_pass and the whole rest is the file.
  const std::string rest = fuzzing::as_text(data + 1, size - 1);
  const std::size_t separator = rest.find('\0');
  const std::string key = separator == std::string::npos ? "admin_pass" : rest.substr(0, separator);
  const std::string file = separator == std::string::npos ? rest : rest.substr(separator + 1);
  const SecurityTarget target{"PASSES", key};

  const PolicyRewrite first = apply_policy(file, target, tier, crypto_at(service, tier));
  fuzzing::require(!first.encryption_failed, "encryption failed");
  const std::vector<ConfigLine> old_lines = split_config_lines(file);
  const std::vector<ConfigLine> new_lines = split_config_lines(first.text);
  fuzzing::require(old_lines.size() == new_lines.size(), "line count changed");

  std::size_t next_rebuilt = 0;
  for (std::size_t i = 0; i < old_lines.size(); ++i) {
    const bool rebuilt =
        next_rebuilt < first.rebuilt_lines.size() && first.rebuilt_lines[next_rebuilt] == i;
    if (rebuilt) {
      ++next_rebuilt;
      fuzzing::require(new_lines[i].text.find(key + " = \"v" + std::to_string(tier) + ":") !=
                           std::string::npos,
                       "rebuilt line holds no blob");
      continue;
    }
    // Compared with their endings: a last line ending in CR that gains its
    // LF reads back as a CRLF line, with the same bytes.
    const std::string old_bytes = old_lines[i].text + old_lines[i].ending;
    const std::string new_bytes = new_lines[i].text + new_lines[i].ending;
    const bool gained_newline =
        !first.rebuilt_lines.empty() && i + 1 == old_lines.size() && old_lines[i].ending.empty();
    fuzzing::require(new_bytes == (gained_newline ? old_bytes + "\n" : old_bytes),
                     "untouched line changed");
  }
  fuzzing::require(next_rebuilt == first.rebuilt_lines.size(), "rebuilt index out of order");
  if (first.rebuilt_lines.empty()) fuzzing::require(first.text == file, "text changed without a rebuild");

  const PolicyRewrite second = apply_policy(first.text, target, tier, crypto_at(service, tier));
  fuzzing::require(second.rebuilt_lines.empty() && second.text == first.text,
                   "second pass at the same tier changed the file");
  return 0;
}
