#include "console/admin_tool.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "console/globals.h"
#include "console/menu_selection.h"

namespace vesk {

AdminTool::AdminTool(const SecurityService& security_service, std::string config_file,
                     const ConsoleIo& console_io, Machine& outside, DevicePaths device_paths)
    : security(security_service),
      config_path(std::move(config_file)),
      io(console_io),
      machine(outside),
      paths(std::move(device_paths)) {}

bool AdminTool::is_sealed() const { return !machine.is_writable(config_path); }

int AdminTool::run_command(const CommandLine& command, CommandOutput output) {
  io.out.flush();
  return machine.run(command, output);
}

namespace {

// `command` followed by the protected files, one argument each.
CommandLine on_system_files(CommandLine command) {
  const std::vector<std::string> files = system_file_names();
  command.insert(command.end(), files.begin(), files.end());
  return command;
}

}  // namespace

void AdminTool::unlock_system_files() {
  io.out << "[*] Unlocking System Files (Mutable)...\n";
  run_command(on_system_files({"sudo", "chattr", "-i"}));
  run_command({"chmod", chmod_operand(OPEN_MODE), config_path});
}

bool AdminTool::lock_system_files() {
  io.out << "[*] Locking System Files (Immutable)...\n";
  const bool mode_set = run_command({"chmod", chmod_operand(SEALED_MODE), config_path}) == 0;
  const bool attribute_set = run_command(on_system_files({"sudo", "chattr", "+i"})) == 0;
  // chmod and chattr leave their change in the page cache: a seal reported
  // done must be on disk, or a power cut right after opens the device again.
  std::vector<std::string> files = system_file_names();
  if (std::find(files.begin(), files.end(), config_path) == files.end()) {
    files.push_back(config_path);
  }
  return mode_set && attribute_set && flush_to_disk(files);
}

bool AdminTool::flush_to_disk(const std::vector<std::string>& files) {
  std::error_code error;
  const auto unflushed = std::find_if(files.begin(), files.end(), [&](const std::string& file) {
    error = machine.sync_file_system(file);
    return static_cast<bool>(error);
  });
  if (unflushed == files.end()) return true;
  io.out.flush();
  io.err << coloured_line(
      RED, "[-] Error: Could not sync " + *unflushed + " to disk: " + error.message());
  return false;
}

void AdminTool::show_menu(bool sealed) {
  const std::string badge = sealed ? RED + "[SEALED]" : GREEN + "[OPEN]";
  io.out << "\n"
         << CYAN << "VESK TARVEMILL - ADMIN v3.3 " << badge << RESET << "\n"
         << "1. Stage 1: Provision (Dev Key)\n"
         << "2. Stage 2: Localize (CPU Bound)\n"
         << "3. Stage 3: Seal (Immutable + USB Auth)\n"
         << "4. Edit Configuration (Nano)\n"
         << "5. Enroll USB Master Key\n"
         << "6. Restore Config from USB\n"
         << (sealed ? "7. Update Application Code (Signed)\n" : "   (Use SCP for Updates)\n")
         << "0. Exit (or 'q')\nSelection: ";
  io.out.flush();
}

void AdminTool::run() {
  for (;;) {
    // Offering the update follows the state the menu showed.
    const bool sealed = is_sealed();
    show_menu(sealed);
    std::string token;
    // End of input (or a broken stream) cannot be recovered from: leave as
    // the exit selection does rather than redraw the menu for ever.
    if (!(io.in >> token) || is_exit_token(token)) return;
    const std::optional<int> selection = parse_selection(token);
    if (!selection) continue;
    // One failed operation must not take the console, and with it the
    // operator's way to repair the installation, down.
    try {
      dispatch(*selection, sealed);
    } catch (const std::exception& error) {
      io.out.flush();
      io.err << coloured_line(RED, std::string("[-] Error: ") + error.what());
    } catch (...) {
      io.out.flush();
      io.err << coloured_line(RED, "[-] Error: unexpected failure");
    }
  }
}

void AdminTool::dispatch(int selection, bool sealed) {
  switch (selection) {
    case 1:
    case 2:
    case 3:
      request_escalation(selection);
      break;
    case 4:
      edit_configuration();
      break;
    case 5:
      enroll_usb_key();
      break;
    case 6:
      request_restore();
      break;
    case 7:
      if (sealed) perform_update();
      break;
    default:
      break;
  }
}

void AdminTool::edit_configuration() {
  const Opening opening = open_for_change();
  if (opening == Opening::kRefused) return;
  io.out << coloured_line(GREEN, "[+] Launching Nano...");
  run_command({"nano", config_path}, CommandOutput::kTerminal);
  if (opening == Opening::kUnlocked) {
    io.out << "[*] Re-sealing configuration file...\n";
    if (!lock_system_files()) io.out << coloured_line(RED, "[-] Error: Locking Failed.");
  }
}

void AdminTool::enroll_usb_key() {
  io.out << "\n--- USB KEY ENROLLMENT ---\n";
  const std::optional<Secret> serial = security.identity.device_serial(kUsbDevice);
  if (!serial) {
    io.out << coloured_line(RED, "[-] No USB Drive found.");
    return;
  }
  io.out << "[*] USB Serial Detected: " << CYAN << serial->view() << RESET << "\n"
         << coloured_line(GREEN, "[+] Key Authorized for Recovery.");
}

}  // namespace vesk
