#include "console/command_runner.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

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

int ProcessRunner::run(const CommandLine& command) {
  if (command.empty()) return kCannotStart;
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);

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

  pid_t child = -1;
  if (posix_spawnp(&child, argv[0], nullptr, attributes.get(), argv.data(), environ) != 0) {
    return kCannotStart;
  }
  int status = 0;
  while (waitpid(child, &status, 0) == -1) {
    if (errno != EINTR) return kCannotStart;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return kCannotStart;
}

CommandLine split_words(const std::string& words) {
  CommandLine result;
  std::istringstream stream(words);
  for (std::string word; stream >> word;) result.push_back(word);
  return result;
}

}  // namespace vesk
