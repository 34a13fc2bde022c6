#pragma once

#include <string>

#include "security/security_service.h"
#include "security/unique_fd.h"

namespace vesk {

// The vault daemon: one listening Unix-domain stream socket, served by one
// thread, one connection at a time, one request and one reply each.
class SecurityDaemon {
 public:
  // Nothing is opened yet. `service` derives the keys and must outlive the
  // daemon; `socket_path` is where init binds (the program passes its
  // fixed path).
  SecurityDaemon(const SecurityService& service, std::string socket_path);

  // Replaces whatever file sits at the socket path with a socket of mode
  // 0660 listening with a backlog of 5, writes the start-up line to
  // standard output and returns true. On failure writes "[-] Socket
  // creation failed\n", "[-] Bind failed\n" or "[-] Listen failed\n" to
  // standard error and returns false; the program then exits with status 1.
  [[nodiscard]] bool init();

  // Accepts and serves connections one after the other, closing each after
  // handle_client, until SIGTERM or SIGINT arrives (see stop_signals.h); a
  // stop lets the connection in hand finish. Accept failures are retried,
  // with a short pause when descriptors or memory run out. Call after init,
  // with install_stop_signals done.
  void serve();

  // Serves one connected client: only peers with user id 0 or 1000 are
  // answered; one read of at most kMaxRequestBytes and at most one write of
  // the reply, each bounded by 5 s; when a stop signal interrupts them they
  // are resumed, within 5 s of the interruption. Never closes `client_fd`
  // and never throws for anything a client sends.
  void handle_client(int client_fd);

 private:
  UniqueFd server_fd;
  const SecurityService& service;
  const std::string socket_path;
};

}  // namespace vesk
