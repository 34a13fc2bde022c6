#include "daemon/stop_signals.h"

#include <pthread.h>

#include <csignal>

namespace vesk {
namespace {

volatile std::sig_atomic_t stop_flag = 0;

void record_stop(int /*signal*/) { stop_flag = 1; }

sigset_t stop_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
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

  const sigset_t stops = stop_signal_set();
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

bool stop_requested() { return stop_flag != 0; }

sigset_t waiting_mask() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  sigdelset(&mask, SIGTERM);
  sigdelset(&mask, SIGINT);
  return mask;
}

void admit_pending_signals(const sigset_t& mask) {
  // A pending signal that becomes unblocked is delivered before
  // pthread_sigmask returns; the old mask is then put back.
  sigset_t previous;
  pthread_sigmask(SIG_SETMASK, &mask, &previous);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace vesk
