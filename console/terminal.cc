#include "console/terminal.h"

#include <unistd.h>

namespace vesk {

EchoOff::EchoOff(int fd) : fd_(fd) {
  if (fd_ < 0 || isatty(fd_) == 0 || tcgetattr(fd_, &saved_) != 0) return;
  termios quiet = saved_;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  active_ = tcsetattr(fd_, TCSANOW, &quiet) == 0;
}

EchoOff::~EchoOff() {
  if (active_) tcsetattr(fd_, TCSANOW, &saved_);
}

}  // namespace vesk
