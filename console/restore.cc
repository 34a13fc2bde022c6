#include <sys/stat.h>

#include "console/admin_tool.h"
#include "console/globals.h"

namespace vesk {

namespace {

// The mode a fresh copy gets when there is no configuration to take it
// from: what cp would give it.
mode_t fresh_copy_mode(const std::optional<FileInfo>& source) {
  const mode_t source_mode = source ? source->mode & 0777 : 0644;
  const mode_t mask = umask(0);
  umask(mask);
  return source_mode & ~mask;
}

}  // namespace

void AdminTool::request_restore() {
  io.out << coloured_line(CYAN, "\n--- DISASTER RECOVERY ---")
         << "This will overwrite the current configuration with the one from USB.\n";
  if (!security.identity.device_serial(kUsbDevice)) {
    io.out << coloured_line(RED, "[-] Error: No USB Drive found.");
    return;
  }
  if (!machine.exists(paths.usb_config)) {
    io.out << coloured_line(RED, "[-] Error: installation.toml not found on USB.");
    return;
  }
  if (open_for_change(coloured_line(YELLOW, "[!] System is Sealed. Auth required to overwrite.")) ==
      Opening::kRefused) {
    return;
  }

  io.out << "[*] Restoring Configuration...\n";
  // cp writes a temporary file beside the configuration, which replaces the
  // configuration only once the copy is whole.
  const WriteOutcome restored = machine.replace_config_with(
      config_path,
      [this](const std::string& temp_path) {
        return run_command({"cp", paths.usb_config, temp_path}) == 0;
      },
      fresh_copy_mode(machine.file_info(paths.usb_config, true)));
  if (restored == WriteOutcome::kNotSynced) {
    io.out.flush();
    io.err << coloured_line(RED, "[-] Error: " + write_error_message(config_path, restored));
  }
  if (restored != WriteOutcome::kWritten) {
    io.out << coloured_line(RED, "[-] Copy Failed.");
    return;
  }
  io.out << coloured_line(GREEN, "[+] Restore Successful.")
         << "[*] You should now review settings (Option 4) or Seal (Option 3).\n";
}

}  // namespace vesk
