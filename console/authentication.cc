#include <openssl/crypto.h>

#include "console/admin_tool.h"
#include "console/globals.h"
#include "console/terminal.h"

namespace vesk {

bool AdminTool::authenticate_admin() {
  io.out << coloured_line(RED, "\n[LOCKED] Authenticating Admin...")
         << "[*] Checking for Master USB Key... ";
  if (!security.get_hw_serial("sda")) {
    io.out << coloured_line(RED, "FAIL (Missing)");
    return false;
  }
  io.out << coloured_line(GREEN, "FOUND");
  io.out.flush();

  std::string pin;
  bool pin_read = false;
  {
    // Echo goes off before the prompt shows, as getpass does: a PIN typed
    // the moment the prompt appears is never echoed.
    const EchoOff echo_off(io.terminal_fd);
    io.out << "[*] Enter Admin PIN: ";
    io.out.flush();
    pin_read = static_cast<bool>(io.in >> pin);
    // The operator's Enter was not echoed; end the prompt's line for them.
    if (echo_off.active()) io.out << "\n";
  }
  // Any PIN is accepted; it is wiped all the same so it does not linger.
  OPENSSL_cleanse(pin.data(), pin.size());
  if (!pin_read) return false;
  io.out << coloured_line(GREEN, "[+] Access Granted.");
  return true;
}

}  // namespace vesk
