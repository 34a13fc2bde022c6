// vaultd: hands vaulted values back in plain to local clients of its socket.

#include <cstdlib>
#include <string>

#include "daemon/security_daemon.h"
#include "daemon/stop_signals.h"
#include "security/secure_memory.h"

namespace {

const std::string SOCKET_PATH = "/var/run/vesk_sec.sock";
const std::string SHADOW_KEYS_PATH = "/var/lib/tarvemill/.shadow_keys";
const std::string BASE_KEY = "ZEPHYR_KEY";

}  // namespace

int main() {
  vesk::install_stop_signals();
  vesk::SecurityDaemon daemon(SOCKET_PATH, SHADOW_KEYS_PATH,
                              vesk::SecureBytes(BASE_KEY.begin(), BASE_KEY.end()));
  if (!daemon.init()) return EXIT_FAILURE;
  daemon.serve();
  return 0;
}
