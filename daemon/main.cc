// vaultd: hands vaulted values back in plain to local clients of its socket.

#include <cstdlib>
#include <string>

#include "daemon/security_daemon.h"
#include "daemon/stop_signals.h"
#include "security/base_key.h"

namespace {

const std::string SOCKET_PATH = "/var/run/vesk_sec.sock";

}  // namespace

int main() {
  vesk::install_stop_signals();
  const vesk::SecurityService service(vesk::kShadowKeysPath, vesk::base_key_bytes());
  vesk::SecurityDaemon daemon(service, SOCKET_PATH);
  if (!daemon.init()) return EXIT_FAILURE;
  daemon.serve();
  return 0;
}
