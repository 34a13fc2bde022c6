#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace vesk {

// How long one exchange with vaultd may take, from connect to close.
inline constexpr std::chrono::milliseconds kDaemonExchangeLimit{2000};

// One exchange with the daemon listening on the Unix-domain stream socket
// at `socket_path`: connects, writes `request` (the daemon's protocol has
// no framing: one request per connection) and returns every byte the peer
// sends until it closes. Nothing when the connection or the write fails,
// the peer sends more than 64 KiB, or `limit` runs out first. The reply
// may be a secret: the caller wipes it. Never raises SIGPIPE.
std::optional<std::string> ask_daemon(const std::string& socket_path, const std::string& request,
                                      std::chrono::milliseconds limit = kDaemonExchangeLimit);

}  // namespace vesk
