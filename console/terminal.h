#pragma once

#include <termios.h>

namespace vesk {

// Switches terminal echo off on `fd` for its lifetime when `fd` is a
// terminal, and restores the previous settings when it dies (also when the
// read in between fails). Does nothing for pipes and files.
class EchoOff {
 public:
  explicit EchoOff(int fd);
  ~EchoOff();
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

  // Whether echo was switched off (fd is a terminal).
  bool active() const { return active_; }

 private:
  int fd_;
  bool active_ = false;
  termios saved_{};
};

}  // namespace vesk
