#include "console/command_runner.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace vesk::testing {
namespace {

TEST(ProcessRunner, ReportsExitStatusesLikeSystem) {
  ProcessRunner runner;
  EXPECT_EQ(runner.run({"true"}), 0);
  EXPECT_EQ(runner.run({"sh", "-c", "exit 3"}), 3);
  EXPECT_EQ(runner.run({"no-such-program-anywhere"}), 127);
  EXPECT_EQ(runner.run({}), 127);
  EXPECT_EQ(runner.run({"sh", "-c", "kill -KILL $$"}), 128 + SIGKILL);
}

TEST(ProcessRunner, WordsReachTheProgramUnreadByAShell) {
  ScopedTempDir dir;
  ProcessRunner runner;
  const std::string odd_name = dir.file("x;touch pwned $(id) 'q'");
  EXPECT_EQ(runner.run({"touch", odd_name}), 0);
  EXPECT_TRUE(std::filesystem::exists(odd_name));
  EXPECT_FALSE(std::filesystem::exists(dir.file("pwned")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(ProcessRunner, InterruptsWhileWaitingHitTheChildNotTheConsole) {
  ProcessRunner runner;
  // The child interrupts its parent, as a Ctrl-C at the terminal would.
  EXPECT_EQ(runner.run({"sh", "-c", "kill -INT $PPID; kill -QUIT $PPID; exit 5"}), 5);
  struct sigaction current {};
  sigaction(SIGINT, nullptr, &current);
  EXPECT_EQ(current.sa_handler, SIG_DFL);
}

TEST(SplitWords, GivesOneArgumentPerWord) {
  EXPECT_EQ(split_words("installation.toml keywarden tarvemill_run"),
            (CommandLine{"installation.toml", "keywarden", "tarvemill_run"}));
  EXPECT_TRUE(split_words("  ").empty());
}

}  // namespace
}  // namespace vesk::testing
