#include <unistd.h>

#include <iostream>

#include "console/admin_tool.h"
#include "console/globals.h"
#include "security/security_service.h"

int main() {
  const vesk::SecurityService security("/var/lib/tarvemill/.shadow_keys",
                                       vesk::SecureBytes{'Z', 'E', 'P', 'H', 'Y', 'R', '_', 'K', 'E', 'Y'});
  // The working directory's file wins when it exists; the choice holds for
  // the whole run.
  const std::string config_path =
      access(vesk::LOCAL_CONFIG.c_str(), F_OK) != -1 ? vesk::LOCAL_CONFIG : vesk::PROD_CONFIG;

  vesk::ProcessRunner commands;
  vesk::AdminTool console(security, config_path,
                          vesk::ConsoleIo{std::cin, std::cout, std::cerr, STDIN_FILENO},
                          vesk::ConsoleSystem{commands});
  console.run();
  return 0;
}
