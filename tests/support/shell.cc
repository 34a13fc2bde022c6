#include "tests/support/shell.h"

#include <stdio.h>
#include <sys/wait.h>

#include <array>

namespace vesk::testing {

ShellResult run_shell(const std::string& command) {
  ShellResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 4096> chunk{};
  std::size_t count = 0;
  while ((count = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) result.output.append(chunk.data(), count);
  const int status = pclose(pipe);
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace vesk::testing
