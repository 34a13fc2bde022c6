#include <array>
#include <optional>

#include "console/admin_tool.h"
#include "console/config_file.h"
#include "console/globals.h"
#include "security/errors.h"

namespace vesk {

namespace {

// The passwords every stage protects, in the order they are processed.
std::array<SecurityTarget, 5> security_policy() {
  return {{{"PASSES", "admin_pass"},
           {"PASSES", "frp_pass"},
           {"PASSES", "smtp_pass1"},
           {"PASSES", "smtp_pass2"},
           {"PASSES", "sql_pass"}}};
}

}  // namespace

bool AdminTool::broker_update(const SecurityTarget& target, int tier) {
  const std::optional<std::string> old_text = read_config_file(config_path);
  if (!old_text) {
    io.out.flush();
    io.err << coloured_line(RED, "[-] Error: Could not open " + config_path);
    return false;
  }

  const PolicyCrypto crypto{
      .vault = [this, tier](const std::string& value) { return security.vault(value, tier, ""); },
      .unwrap = [this](const std::string& blob, int blob_tier) -> std::optional<std::string> {
        try {
          return security.unvault(blob, blob_tier, "");
        } catch (const CryptoError&) {
          return std::nullopt;
        }
      }};
  const PolicyRewrite rewrite = apply_policy(*old_text, target, tier, crypto);

  const std::string progress = "    Encrypting " + target.key + " (v" + std::to_string(tier) + ")... ";
  for (std::size_t i = 0; i < rewrite.rebuilt_lines.size(); ++i) {
    io.out << progress << coloured_line(GREEN, "DONE");
  }
  if (rewrite.encryption_failed) {
    io.out << progress << coloured_line(RED, "FAILED");
    return false;
  }
  if (rewrite.rebuilt_lines.empty()) return true;
  if (!replace_config_file(config_path, rewrite.text)) {
    io.out.flush();
    io.err << coloured_line(RED, "[-] Error: Could not write " + config_path);
    return false;
  }
  return true;
}

void AdminTool::request_escalation(int stage) {
  const bool sealed = is_sealed();
  if (sealed) {
    if (!authenticate_admin()) return;
    unlock_system_files();
  }
  const int tier = stage > 1 ? 2 : 1;
  io.out << CYAN << "--- Applying Security Policy (v" << tier << ") ---" << RESET << "\n";

  // Every target is tried even after one fails, so one bad line does not
  // leave the others in plain.
  bool complete = true;
  for (const SecurityTarget& target : security_policy()) {
    complete = broker_update(target, tier) && complete;
  }
  io.out << "\n"
         << (complete ? coloured_line(GREEN, "[+] Data Hardened.")
                      : coloured_line(RED, "[-] Error: Security Policy Incomplete."));

  if (stage == 3) {
    io.out << "[*] Sealing System (Immutable Mode)...\n";
    io.out << (lock_system_files() ? coloured_line(GREEN, "[+] System SEALED (Stage 3).")
                                   : coloured_line(RED, "[-] Error: Locking Failed."));
    return;
  }
  if (sealed) io.out << "[*] System De-escalated (Mutable).\n";
}

}  // namespace vesk
