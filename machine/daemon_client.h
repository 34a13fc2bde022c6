#pragma once

#include <chrono>
#include <string>

#include "security/secret.h"

namespace vesk {

// How long one exchange with vaultd may take, from connect to close.
inline constexpr std::chrono::milliseconds kDaemonExchangeLimit{2000};

// How an exchange with the daemon ended.
enum class Exchange {
  kAnswered,  // the peer closed in time; `bytes` is all it sent (maybe none)
  kNoSocket,  // nothing at the path
  kRefused,   // nobody listens there (or it is no socket)
  kDenied,    // this user may not open the socket
  kTimedOut,  // the limit ran out first
  kFailed,    // anything else: the write failed, the reply was too long
};

struct DaemonReply {
  Exchange outcome = Exchange::kFailed;
  Secret bytes;  // may carry a password
};

// One exchange with the daemon listening on the Unix-domain stream socket
// at `socket_path`: connects, writes `request` (the daemon's protocol has
// no framing: one request per connection) and gathers every byte the peer
// sends until it closes, more than 64 KiB being a failure. Never raises
// SIGPIPE.
DaemonReply ask_daemon(const std::string& socket_path, const std::string& request,
                       std::chrono::milliseconds limit = kDaemonExchangeLimit);

}  // namespace vesk
