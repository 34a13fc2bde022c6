#pragma once

#include <signal.h>
#include <termios.h>

#include <array>

namespace vesk {

// Switches terminal echo off on `fd` for its lifetime when `fd` is a
// terminal, and restores the previous settings when it dies (also when the
// read in between fails). Does nothing for pipes and files.
//
// While echo is off, SIGINT, SIGTERM and SIGHUP (unless ignored) first
// restore the saved settings and then end the process by the same signal,
// as their default action would; the previous dispositions come back when
// it dies. Only one may be alive at a time: the handlers share one saved
// state.
class EchoOff {
 public:
  explicit EchoOff(int fd);
  ~EchoOff();
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

  // Whether echo was switched off (fd is a terminal).
  bool active() const { return active_; }

 private:
  void restore_dispositions();

  bool active_ = false;
  std::array<struct sigaction, 3> saved_dispositions_{};
};

}  // namespace vesk
