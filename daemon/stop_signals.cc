#include "daemon/stop_signals.h"

#include <sys/socket.h>

#include <cerrno>
#include <csignal>

namespace vesk {
namespace {

volatile std::sig_atomic_t stop_flag = 0;
volatile std::sig_atomic_t listener_to_shut = -1;

void record_stop(int /*signal*/) {
  // The interrupted code may be about to read errno.
  const int saved_errno = errno;
  stop_flag = 1;
  // shutdown is async-signal-safe. A listening Unix socket shut down for
  // reading fails every accept, a waiting one included, with EINVAL.
  if (listener_to_shut >= 0) shutdown(listener_to_shut, SHUT_RD);
  errno = saved_errno;
}

}  // namespace

void install_stop_signals() {
  struct sigaction stop {};
  stop.sa_handler = record_stop;
  sigemptyset(&stop.sa_mask);
  // No SA_RESTART: a wait that the signal interrupts must return, so the
  // loop gets to look at the flag.
  stop.sa_flags = 0;
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);

  // A client that hangs up before its reply, or a closed standard output,
  // must cost a failed write, not the daemon.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

void stop_accepting_on(int listening_fd) { listener_to_shut = listening_fd; }

bool stop_requested() { return stop_flag != 0; }

}  // namespace vesk
