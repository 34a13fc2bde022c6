#include <optional>
#include <utility>

#include "config/config_file.h"
#include "console/admin_tool.h"
#include "console/globals.h"

namespace vesk {

AdminTool::StepResult AdminTool::broker_update(const SecurityTarget& target, int tier) {
  ConfigRead old = machine.read_config(config_path);
  if (!old) {
    io.out.flush();
    io.err << coloured_line(
        RED, "[-] Error: " + read_error_message(config_path, old.error(), machine.config_limit()));
    return StepResult::kFailed;
  }
  const std::string_view old_text = (*old).view();

  const PolicyCrypto crypto{
      .vault = [this,
                tier](std::string_view value) { return security.cipher.vault(value, tier, ""); },
      .unwrap = [this](std::string_view blob, int blob_tier) -> std::optional<Secret> {
        // A blob that does not open here is vaulted as the text it is. An
        // unreadable device (DeviceIdentityError) fails the key instead.
        Expected<Secret, UnvaultError> opened = security.cipher.unvault(blob, blob_tier, "");
        if (!opened) return std::nullopt;
        return std::move(*opened);
      }};
  const PolicyRewrite rewrite = apply_policy(old_text, target, tier, crypto);

  const std::string progress =
      "    Encrypting " + target.key + " (v" + std::to_string(tier) + ")... ";
  for (std::size_t i = 0; i < rewrite.rebuilt_lines.size(); ++i) {
    io.out << progress << coloured_line(GREEN, "DONE");
  }
  const bool rewrite_due = !rewrite.encryption_failed && !rewrite.rebuilt_lines.empty();
  // A vaulted line is longer than a plain one: a file the programs would
  // then refuse to read is never written.
  if (rewrite_due && rewrite.text.size() > machine.config_limit()) {
    io.out.flush();
    io.err << coloured_line(RED, "[-] Error: Could not write " + config_path + ": it would be " +
                                     size_limit_text(machine.config_limit()));
    return StepResult::kFailed;
  }
  const WriteOutcome written = rewrite_due
                                   ? machine.replace_config(config_path, rewrite.text.view())
                                   : WriteOutcome::kWritten;
  if (rewrite.encryption_failed) {
    io.out << progress << coloured_line(RED, "FAILED");
    io.out.flush();
    io.err << coloured_line(RED, "[-] Error: " + rewrite.failure);
    return StepResult::kFailed;
  }
  if (written == WriteOutcome::kWritten) return StepResult::kDone;
  io.out.flush();
  io.err << coloured_line(RED, "[-] Error: " + write_error_message(config_path, written));
  return written == WriteOutcome::kUnchanged ? StepResult::kFailed : StepResult::kFileTouched;
}

void AdminTool::request_escalation(int stage) {
  const Opening opening = open_for_change();
  if (opening == Opening::kRefused) return;
  const int tier = stage > 1 ? 2 : 1;
  io.out << CYAN << "--- Applying Security Policy (v" << tier << ") ---" << RESET << "\n";

  // Every target is tried even after one fails, so one bad line does not
  // leave the others in plain; but nothing more is written into a file that
  // a failed write has touched.
  bool complete = true;
  for (const SecurityTarget& target : security_policy()) {
    const StepResult result = broker_update(target, tier);
    complete = complete && result == StepResult::kDone;
    if (result == StepResult::kFileTouched) break;
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
  if (opening == Opening::kUnlocked) io.out << "[*] System De-escalated (Mutable).\n";
}

}  // namespace vesk
