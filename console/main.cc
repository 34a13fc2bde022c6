// keywarden: the operator's console of a vesk installation.

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "config/installation.h"
#include "console/admin_tool.h"
#include "machine/device_paths.h"
#include "machine/machine.h"
#include "security/base_key.h"
#include "security/secure_memory.h"
#include "security/security_service.h"

int main() {
  vesk::forbid_core_dumps();
  // Unbuffered, so the PIN is never held in a buffer of stdio's: each
  // character goes straight to the Secret it is read into.
  (void)std::setvbuf(stdin, nullptr, _IONBF, 0);
  const vesk::DevicePaths paths;
  const vesk::SecurityService security(vesk::base_key_bytes(), paths.hardware);
  // The working directory's file wins when it exists; the choice holds for
  // the whole run.
  const std::string config_path =
      vesk::choose_config_path(vesk::file_exists, paths.installed_config);

  vesk::Machine machine;
  vesk::AdminTool console(security, config_path,
                          vesk::ConsoleIo{std::cin, std::cout, std::cerr, STDIN_FILENO}, machine,
                          paths);
  console.run();
  return 0;
}
