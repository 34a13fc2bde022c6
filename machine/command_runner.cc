#include "machine/command_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace vesk {

namespace {

constexpr int kCannotStart = 127;

// Ignores SIGINT and SIGQUIT in the console for its lifetime, restoring the
// previous dispositions afterwards.
class InterruptsIgnored {
 public:
  InterruptsIgnored() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &saved_interrupt_);
    sigaction(SIGQUIT, &ignore, &saved_quit_);
  }
  ~InterruptsIgnored() {
    sigaction(SIGINT, &saved_interrupt_, nullptr);
    sigaction(SIGQUIT, &saved_quit_, nullptr);
  }
  InterruptsIgnored(const InterruptsIgnored&) = delete;
  InterruptsIgnored& operator=(const InterruptsIgnored&) = delete;

 private:
  struct sigaction saved_interrupt_ {};
  struct sigaction saved_quit_ {};
};

class SpawnFileActions {
 public:
  SpawnFileActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
};

class SpawnAttributes {
 public:
  SpawnAttributes() { posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
};

}  // namespace

int run_process(const CommandLine& command, CommandOutput output) {
  if (command.empty()) return kCannotStart;
  // posix_spawnp takes char* const[] for historical reasons; it does not
  // write through the pointers.
  std::vector<char*> argv(command.size() + 1, nullptr);
  std::transform(command.begin(), command.end(), argv.begin(),
                 [](const std::string& word) { return const_cast<char*>(word.c_str()); });

  const InterruptsIgnored interrupts_ignored;
  // The child gets the default dispositions back, so the operator can
  // interrupt the outside program itself.
  SpawnAttributes attributes;
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGQUIT);
  posix_spawnattr_setsigdefault(attributes.get(), &defaults);
  posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF);

  SpawnFileActions file_actions;
  if (output != CommandOutput::kTerminal) {
    posix_spawn_file_actions_addopen(file_actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (output == CommandOutput::kDiscard) {
    posix_spawn_file_actions_addopen(file_actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(file_actions.get(), STDOUT_FILENO, STDERR_FILENO);
  }

  pid_t child = -1;
  if (posix_spawnp(&child, argv[0], file_actions.get(), attributes.get(), argv.data(), environ) !=
      0) {
    return kCannotStart;
  }
  int status = 0;
  // The console reports a step only once its command has ended: a child
  // still running could write after the step was reported failed and its
  // temporary file removed. So every failed wait is tried again, until the
  // kernel says there is no such child.
  while (waitpid(child, &status, 0) == -1) {
    if (errno == ECHILD) return kCannotStart;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return kCannotStart;
}

}  // namespace vesk
