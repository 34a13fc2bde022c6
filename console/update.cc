#include <unistd.h>

#include <optional>

#include "console/admin_tool.h"
#include "console/config_file.h"
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
  const std::optional<std::string> config = read_config_file(config_path);
  const bool remote_allowed = config && remote_updates_allowed(*config);

  io.out << coloured_line(CYAN, "\n--- PRODUCTION SYSTEM UPDATE ---") << "Remote Updates Allowed: "
         << (remote_allowed ? GREEN + "YES" : RED + "NO") << RESET << "\n"
         << "Enter Package Path (.tar.gz): ";
  io.out.flush();
  std::string package;
  io.in >> package;

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
    if (access(PUBLIC_KEY_PATH.c_str(), F_OK) == -1) {
      io.out << coloured_line(RED, "[-] Error: " + PUBLIC_KEY_PATH + " not found.");
    } else {
      approved = run_command({"openssl", "dgst", "-sha256", "-verify", PUBLIC_KEY_PATH,
                              "-signature", as_operand(signature), as_operand(package)},
                             CommandOutput::kDiscard) == 0;
      io.out << (approved ? coloured_line(GREEN, "[+] Signature VERIFIED. Package Trusted.")
                          : coloured_line(RED, "[-] ALERT: Signature Verification FAILED."));
    }
  }
  if (!approved) return;

  io.out << "[*] Unlocking Application Binary ONLY...\n";
  run_command({"sudo", "chattr", "-i", APP_BINARY});
  io.out << "[*] Applying Update...\n";
  const bool extracted = run_command({"tar", "-xzf", as_operand(package)}) == 0;
  io.out << (extracted ? coloured_line(GREEN, "[+] Update Successful.")
                       : coloured_line(RED, "[-] Update Failed."));
  // The binary is locked again whatever the extraction did.
  if (run_command({"sudo", "chattr", "+i", APP_BINARY}) != 0) {
    io.out << coloured_line(RED, "[-] Error: Locking Failed.");
  }
}

}  // namespace vesk
