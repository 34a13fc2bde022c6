#pragma once

namespace vesk {

// Makes SIGTERM and SIGINT a request to stop and SIGPIPE harmless, for the
// whole process. The handler records the request and, once a listener is
// named (stop_accepting_on), shuts it down for reading, so an accept that
// is entered after the request was looked at returns at once instead of
// waiting for the next client. Without SA_RESTART, a call the signal
// interrupts fails with EINTR; whoever serves a connection in hand resumes
// it. Call once, before any other thread exists.
void install_stop_signals();

// The listening socket the stop signals shut down from now on.
void stop_accepting_on(int listening_fd);

// True once SIGTERM or SIGINT has been delivered.
bool stop_requested();

}  // namespace vesk
