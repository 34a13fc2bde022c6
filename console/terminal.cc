#include "console/terminal.h"

#include <unistd.h>

#include <cstddef>

namespace vesk {

namespace {

// The signals that would end the console at the PIN prompt and leave the
// operator typing blind.
constexpr std::array<int, 3> kEndingSignals = {SIGINT, SIGTERM, SIGHUP};

// A signal handler cannot reach the EchoOff object, so the settings it puts
// back live here. They are written before the handlers are installed and
// left alone while the handlers are in place.
int echo_fd = -1;
termios echo_settings{};

// Ends the process by the same signal, as its default action would have,
// so the parent sees why the console ended. The raised signal stays blocked
// until the handler returns.
extern "C" void restore_echo_and_end(int signal_number) {
  tcsetattr(echo_fd, TCSANOW, &echo_settings);
  (void)signal(signal_number, SIG_DFL);
  (void)raise(signal_number);
}

}  // namespace

EchoOff::EchoOff(int fd) {
  if (fd < 0 || isatty(fd) == 0 || tcgetattr(fd, &echo_settings) != 0) return;
  echo_fd = fd;
  // The handlers go in before echo goes off, so no signal can slip between.
  struct sigaction restore {};
  restore.sa_handler = restore_echo_and_end;
  sigemptyset(&restore.sa_mask);
  for (const int signal_number : kEndingSignals) sigaddset(&restore.sa_mask, signal_number);
  for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
    sigaction(kEndingSignals[i], nullptr, &saved_dispositions_[i]);
    // An ignored signal does not end the console; it stays ignored.
    if (saved_dispositions_[i].sa_handler != SIG_IGN) {
      sigaction(kEndingSignals[i], &restore, nullptr);
    }
  }
  termios quiet = echo_settings;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  active_ = tcsetattr(fd, TCSANOW, &quiet) == 0;
  if (!active_) restore_dispositions();
}

EchoOff::~EchoOff() {
  if (!active_) return;
  // Echo comes back before the handlers go, so a signal in between still
  // finds the terminal restored.
  tcsetattr(echo_fd, TCSANOW, &echo_settings);
  restore_dispositions();
}

void EchoOff::restore_dispositions() {
  for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
    sigaction(kEndingSignals[i], &saved_dispositions_[i], nullptr);
  }
}

}  // namespace vesk
