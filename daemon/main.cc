// vaultd: hands vaulted values back in plain to local clients of its socket.

#include <cstdlib>
#include <iostream>
#include <optional>

#include "daemon/readiness.h"
#include "daemon/security_daemon.h"
#include "daemon/stop_signals.h"
#include "machine/device_paths.h"
#include "security/base_key.h"
#include "security/secure_memory.h"

int main() {
  vesk::forbid_core_dumps();
  vesk::install_stop_signals();
  const vesk::DevicePaths paths;
  const vesk::SecurityService service(vesk::base_key_bytes(), paths.hardware);
  vesk::SecurityDaemon daemon(service, paths.socket);
  if (const std::optional<vesk::StartFailure> failure = daemon.init()) {
    std::cerr << vesk::start_failure_message(*failure) << std::flush;
    return EXIT_FAILURE;
  }
  // Flushed at once: whoever started the daemon may wait for this line.
  std::cout << "[+] VESK Security Daemon Listening on " << paths.socket << "\n" << std::flush;
  // systemd starts the units that need vaultd only now; when the message
  // cannot be sent, its start timeout says so.
  (void)vesk::notify_ready();
  daemon.serve();
  return 0;
}
