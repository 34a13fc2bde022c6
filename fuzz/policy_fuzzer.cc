// The configuration rewrite of any file for any key: lines it does not
// rebuild come back byte for byte, and a second pass changes nothing.
// Input: a tier byte, then "key NUL file" (or only the file, for admin_pass).

#include <cstdint>
#include <cstdlib>

#include "config/policy_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vesk;
  if (size < 1) return 0;
  const int tier = 1 + data[0] % 2;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t nul = rest.find('\0');
  const SecurityTarget target{"PASSES",
                              nul == std::string::npos ? "admin_pass" : rest.substr(0, nul)};
  const std::string file = nul == std::string::npos ? rest : rest.substr(nul + 1);
  // Stands in for the vault: a well-formed blob of the tier, whatever the value.
  const PolicyCrypto crypto{
      .vault =
          [tier](const std::string&) {
            return std::string(tier == 1 ? "v1:" : "v2:") +
                   "AAECAwQFBgcICQoLDA0OD664kzSMRj2X5tfdsZRK59E=";
          },
      .unwrap = [](const std::string& blob, int) -> std::optional<std::string> { return blob; }};

  const PolicyRewrite first = apply_policy(file, target, tier, crypto);
  const std::vector<ConfigLine> before = split_config_lines(file);
  const std::vector<ConfigLine> after = split_config_lines(first.text);
  if (before.size() != after.size() || first.encryption_failed) std::abort();
  std::size_t rebuilt = 0;
  for (std::size_t i = 0; i < before.size(); ++i) {
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
  return 0;
}
