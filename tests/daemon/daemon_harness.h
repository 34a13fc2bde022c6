#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

#include "security/unique_fd.h"
#include "tests/support/fake_device.h"
#include "tests/support/temp_dir.h"

namespace vesk::testing {

// A forked child that runs `body` with standard output and standard error
// going to files and ends with the status `body` returns (111 when it
// throws). Never runs the test program's exit handlers. Killed
// and reaped when the object goes, so a failing test leaves no process.
class ChildProcess {
 public:
  explicit ChildProcess(const std::function<int()>& body);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  std::string out() const { return read_file(dir_.file("out")); }
  std::string err() const { return read_file(dir_.file("err")); }

  // Waits up to 5 s for something on standard output or for the end.
  void wait_for_output();
  // True while the child has not ended.
  bool alive();
  // Waits up to 5 s (then kills) and returns the exit status, or 128 plus
  // the number of the signal that ended it.
  int exit_code();

 private:
  ScopedTempDir dir_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

struct DaemonOptions {
  bool stop_signals = true;                      // set up the signals as vaultd's main does
  std::optional<mode_t> umask = std::nullopt;    // file-creation mask before init
  std::function<void()> before_init = nullptr;   // runs in the daemon's process
  std::function<void()> before_serve = nullptr;  // likewise, between init and serve
};

// The body of a child that runs a daemon as vaultd's main does, but on
// `socket_path` and with `device`'s hardware; 1 when init fails.
std::function<int()> daemon_body(const std::string& socket_path, const FakeDevice& device,
                                 const DaemonOptions& options = {});

// A client connection to `socket_path`, with reads bounded by 10 s.
UniqueFd connect_to(const std::string& socket_path);
// Sends `text` whole; a peer that has already closed is no error.
void send_text(int fd, const std::string& text);
// Everything the daemon sends until it closes the connection.
std::string read_to_end(int fd);
// Connects, sends `request` and returns the whole reply.
std::string ask(const std::string& socket_path, const std::string& request);

}  // namespace vesk::testing
