#pragma once

#include <string>

namespace vesk::testing {

struct ShellResult {
  int exit_status = -1;
  std::string output;  // standard output only
};

// Runs `command` with /bin/sh and collects its standard output. Test-only:
// the commands are fixed texts of the tests.
ShellResult run_shell(const std::string& command);

}  // namespace vesk::testing
