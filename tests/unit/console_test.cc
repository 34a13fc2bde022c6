// The console's last line of defence, and the statuses of the commands it
// runs. Its dialogues are tested on the real program (tests/system).

#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <stdexcept>

#include "console/admin_tool.h"
#include "security/base_key.h"

namespace vesk {
namespace {

struct ThrowingRunner : CommandRunner {
  int run(const CommandLine& /*command*/, CommandOutput /*output*/) override {
    throw std::runtime_error("no editor here");
  }
};

TEST(AdminTool, AnOperationThatThrowsGivesTheMenuBack) {
  const SecurityService security(kShadowKeysPath, base_key_bytes());
  std::istringstream in("4\nq\n");
  std::ostringstream out;
  std::ostringstream err;
  ThrowingRunner runner;
  AdminTool console(
      security, "installation.toml", ConsoleIo{in, out, err},
      ConsoleSystem{.commands = runner, .is_writable = [](const std::string&) { return true; }});
  console.run();
  EXPECT_EQ(err.str(), "\x1b[01;31m[-] Error: no editor here\x1b[00m\n");
  EXPECT_NE(out.str().rfind("Selection: "), out.str().find("Selection: "));
}

TEST(ProcessRunner, ExitStatuses) {
  // The console ignores Ctrl-C while a command runs; the command does not.
  EXPECT_EQ(ProcessRunner().run({"sh", "-c", "kill -INT $PPID"}, CommandOutput::kDiscard), 0);
  EXPECT_EQ(ProcessRunner().run({"sh", "-c", "kill -INT $$"}, CommandOutput::kDiscard),
            128 + SIGINT);
  EXPECT_EQ(ProcessRunner().run({"/nonexistent/program"}, CommandOutput::kDiscard), 127);
}

}  // namespace
}  // namespace vesk
