#include "console/command_runner.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace vesk::testing {
namespace {

TEST(ProcessRunner, ReportsExitStatusesLikeSystem) {
  ProcessRunner runner;
  EXPECT_EQ(runner.run({"true"}, CommandOutput::kInherit), 0);
  EXPECT_EQ(runner.run({"sh", "-c", "exit 3"}, CommandOutput::kInherit), 3);
  EXPECT_EQ(runner.run({"no-such-program-anywhere"}, CommandOutput::kInherit), 127);
  EXPECT_EQ(runner.run({}, CommandOutput::kInherit), 127);
  EXPECT_EQ(runner.run({"sh", "-c", "kill -KILL $$"}, CommandOutput::kInherit), 128 + SIGKILL);
}

TEST(ProcessRunner, WordsReachTheProgramUnreadByAShell) {
  ScopedTempDir dir;
  ProcessRunner runner;
  const std::string odd_name = dir.file("x;touch pwned $(id) 'q'");
  EXPECT_EQ(runner.run({"touch", odd_name}, CommandOutput::kInherit), 0);
  EXPECT_TRUE(std::filesystem::exists(odd_name));
  EXPECT_FALSE(std::filesystem::exists(dir.file("pwned")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(ProcessRunner, InterruptsWhileWaitingHitTheChildNotTheConsole) {
  ProcessRunner runner;
  // The child interrupts its parent, as a Ctrl-C at the terminal would.
  EXPECT_EQ(runner.run({"sh", "-c", "kill -INT $PPID; kill -QUIT $PPID; exit 5"},
                       CommandOutput::kInherit),
            5);
  struct sigaction current {};
  sigaction(SIGINT, nullptr, &current);
  EXPECT_EQ(current.sa_handler, SIG_DFL);
}

TEST(ProcessRunner, DiscardedOutputReachesNoStream) {
  ScopedTempDir dir;
  const std::string log = dir.file("out");
  ProcessRunner runner;
  // Our own stdout is redirected to a file around the run to see what leaks.
  fflush(stdout);
  const int saved_out = dup(STDOUT_FILENO);
  const int saved_err = dup(STDERR_FILENO);
  FILE* sink = fopen(log.c_str(), "w");
  ASSERT_NE(sink, nullptr);
  dup2(fileno(sink), STDOUT_FILENO);
  dup2(fileno(sink), STDERR_FILENO);
  const int quiet = runner.run({"sh", "-c", "echo out; echo err >&2; exit 4"}, CommandOutput::kDiscard);
  const int loud = runner.run({"sh", "-c", "echo shown"}, CommandOutput::kInherit);
  dup2(saved_out, STDOUT_FILENO);
  dup2(saved_err, STDERR_FILENO);
  close(saved_out);
  close(saved_err);
  fclose(sink);
  EXPECT_EQ(quiet, 4);
  EXPECT_EQ(loud, 0);
  EXPECT_EQ(read_file(log), "shown\n");
}

TEST(SplitWords, GivesOneArgumentPerWord) {
  EXPECT_EQ(split_words("installation.toml keywarden tarvemill_run"),
            (CommandLine{"installation.toml", "keywarden", "tarvemill_run"}));
  EXPECT_TRUE(split_words("  ").empty());
}

}  // namespace
}  // namespace vesk::testing
