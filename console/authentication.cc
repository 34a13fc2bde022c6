#include <cctype>

#include "console/admin_tool.h"
#include "console/globals.h"
#include "console/terminal.h"

namespace vesk {

namespace {

// Reads a whitespace-delimited word as `>>` would, but straight into a
// Secret, one character at a time: no string of the stream's holds it.
// False when input ends before a word starts.
bool read_word(std::istream& in, Secret& word) {
  char next = 0;
  while (in.get(next) && std::isspace(static_cast<unsigned char>(next)) != 0) {
  }
  if (!in) return false;
  do {
    word.append({&next, 1});
  } while (in.get(next) && std::isspace(static_cast<unsigned char>(next)) == 0);
  return true;
}

}  // namespace

bool AdminTool::authenticate_admin() {
  io.out << coloured_line(RED, "\n[LOCKED] Authenticating Admin...")
         << "[*] Checking for Master USB Key... ";
  if (!security.identity.device_serial(kUsbDevice)) {
    io.out << coloured_line(RED, "FAIL (Missing)");
    return false;
  }
  io.out << coloured_line(GREEN, "FOUND");
  io.out.flush();

  // Any PIN is accepted; it is still a secret the operator typed.
  Secret pin;
  bool pin_read = false;
  {
    // Echo goes off before the prompt shows, as getpass does: a PIN typed
    // the moment the prompt appears is never echoed.
    const EchoOff echo_off(io.terminal_fd);
    io.out << "[*] Enter Admin PIN: ";
    io.out.flush();
    pin_read = read_word(io.in, pin);
    // The operator's Enter was not echoed; end the prompt's line for them.
    if (echo_off.active()) io.out << "\n";
  }
  if (!pin_read) return false;
  io.out << coloured_line(GREEN, "[+] Access Granted.");
  return true;
}

AdminTool::Opening AdminTool::open_for_change(const std::string& notice) {
  if (!is_sealed()) return Opening::kWasOpen;
  if (!notice.empty()) io.out << notice;
  if (!authenticate_admin()) return Opening::kRefused;
  unlock_system_files();
  return Opening::kUnlocked;
}

}  // namespace vesk
