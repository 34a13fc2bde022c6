#pragma once

#include <signal.h>

namespace vesk {

// Makes SIGTERM and SIGINT a request to stop and SIGPIPE harmless, for the
// whole process. The handlers only record the request. The stop signals are
// also blocked in the calling thread: the daemon lets them in only while it
// waits for a connection (see waiting_mask), so a stop never cuts a
// connection in hand short. Call once, before any other thread exists.
void install_stop_signals();

// True once SIGTERM or SIGINT has been delivered.
bool stop_requested();

// The calling thread's signal mask with SIGTERM and SIGINT let through: the
// mask to wait under. Without install_stop_signals it equals the current
// mask, and the signals keep their default action.
sigset_t waiting_mask();

// Delivers any stop signal that arrived while it was blocked, so that
// stop_requested() tells the truth afterwards.
void admit_pending_signals(const sigset_t& mask);

}  // namespace vesk
