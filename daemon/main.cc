// vaultd: hands vaulted values back in plain to local clients of its socket.

#include <cstdlib>

#include "daemon/security_daemon.h"
#include "daemon/stop_signals.h"
#include "protocol/vault_protocol.h"
#include "security/base_key.h"
#include "security/secure_memory.h"

int main() {
  vesk::forbid_core_dumps();
  vesk::install_stop_signals();
  const vesk::SecurityService service(vesk::kShadowKeysPath, vesk::base_key_bytes());
  vesk::SecurityDaemon daemon(service, vesk::kSocketPath);
  if (!daemon.init()) return EXIT_FAILURE;
  daemon.serve();
  return 0;
}
