#pragma once

#include <optional>
#include <string>

#include "security/security_service.h"
#include "security/unique_fd.h"

namespace vesk {

// Why the daemon could not start.
enum class StartFailure { kSocket, kBind, kListen };

// What the daemon says on standard error for it: "[-] Socket creation
// failed\n", "[-] Bind failed\n" or "[-] Listen failed\n".
const char* start_failure_message(StartFailure failure);

// The vault daemon: one listening Unix-domain stream socket, served by one
// thread, one connection at a time, one request and one reply each.
class SecurityDaemon {
 public:
  // Nothing is opened yet. `service` derives the keys and must outlive the
  // daemon; `socket_path` is where init binds (the program passes its
  // fixed path).
  SecurityDaemon(const SecurityService& service, std::string socket_path);

  // Replaces whatever file sits at the socket path with a socket of mode
  // 0660 listening with a backlog of 5. Nothing when it listens, else which
  // step failed; the program then says so and exits with status 1.
  [[nodiscard]] std::optional<StartFailure> init();

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
