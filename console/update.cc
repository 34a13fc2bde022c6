#include <optional>

#include "config/config_file.h"
#include "console/admin_tool.h"
#include "console/globals.h"

namespace vesk {

namespace {

// An operator's path as a command operand: one that begins with "-" is
// given a "./" so that no program reads it as an option.
std::string as_operand(const std::string& path) {
  return path.starts_with("-") ? "./" + path : path;
}

}  // namespace

void AdminTool::perform_update() {
  if (!is_sealed()) {
    io.out << coloured_line(YELLOW, "\n[!] System is OPEN (Stage 1/2).")
           << "    Use 'scp' or 'cp' to update files directly.\n";
    return;
  }
  const ConfigRead config = machine.read_config(config_path);
  // A configuration that is there but cannot be read is not "remote
  // updates off": the operator is told why. One that is not there allows
  // nothing, and the administrator is asked.
  if (!config && config.error() != ConfigReadError::kMissing) {
    io.out.flush();
    io.err << coloured_line(RED, "[-] Error: " + read_error_message(config_path, config.error(),
                                                                    machine.config_limit()));
    return;
  }
  const bool remote_allowed = config && remote_updates_allowed(config->view());

  io.out << coloured_line(CYAN, "\n--- PRODUCTION SYSTEM UPDATE ---")
         << "Remote Updates Allowed: " << (remote_allowed ? GREEN + "YES" : RED + "NO") << RESET
         << "\n"
         << "Enter Package Path (.tar.gz): ";
  io.out.flush();
  std::string package;
  io.in >> package;

  // What tar extracts: the operator's file after authentication, or the
  // private copy whose signature was verified, which nobody else can swap.
  std::string archive = as_operand(package);
  std::optional<std::string> verified_copies;
  bool approved = false;
  if (!remote_allowed) {
    io.out << coloured_line(YELLOW, "[!] Remote updates disabled. Physical Auth required.");
    approved = authenticate_admin();
  } else {
    io.out << "Enter Signature Path (.sig): ";
    io.out.flush();
    std::string signature;
    io.in >> signature;
    io.out << "[*] Verifying Digital Signature...\n";
    if (!machine.exists(PUBLIC_KEY_PATH)) {
      io.out << coloured_line(RED, "[-] Error: " + PUBLIC_KEY_PATH + " not found.");
    } else {
      verified_copies = machine.make_private_folder(paths.scratch_dir);
      archive = verified_copies.value_or("") + "/package";
      const std::string signature_copy = verified_copies.value_or("") + "/signature";
      approved = verified_copies && machine.copy_file(package, archive) &&
                 machine.copy_file(signature, signature_copy) &&
                 run_command({"openssl", "dgst", "-sha256", "-verify", PUBLIC_KEY_PATH,
                              "-signature", signature_copy, archive},
                             CommandOutput::kDiscard) == 0;
      io.out << (approved ? coloured_line(GREEN, "[+] Signature VERIFIED. Package Trusted.")
                          : coloured_line(RED, "[-] ALERT: Signature Verification FAILED."));
    }
  }
  // The private copies go as soon as they are of no more use; a folder
  // that stays behind is the operator's to know about.
  const auto remove_copies = [this, &verified_copies] {
    if (!verified_copies) return;
    if (const std::error_code error = machine.remove_private_folder(*verified_copies)) {
      io.out.flush();
      io.err << coloured_line(
          RED, "[-] Error: Could not remove " + *verified_copies + ": " + error.message());
    }
  };
  if (!approved) {
    remove_copies();
    return;
  }

  io.out << "[*] Unlocking Application Binary ONLY...\n";
  run_command({"sudo", "chattr", "-i", APP_BINARY});
  io.out << "[*] Applying Update...\n";
  // What tar wrote is reported done only once it is on disk.
  const bool extracted = run_command({"tar", "-xzf", archive}) == 0 && flush_to_disk({APP_BINARY});
  io.out << (extracted ? coloured_line(GREEN, "[+] Update Successful.")
                       : coloured_line(RED, "[-] Update Failed."));
  // The binary is locked again whatever the extraction did.
  if (run_command({"sudo", "chattr", "+i", APP_BINARY}) != 0 || !flush_to_disk({APP_BINARY})) {
    io.out << coloured_line(RED, "[-] Error: Locking Failed.");
  }
  remove_copies();
}

}  // namespace vesk
