#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/installation.h"
#include "machine/machine.h"
#include "security/security_service.h"
#include "vaultcheck/report.h"

namespace vesk {

// What became of a blob given to an opener.
enum class Verdict {
  kOpens,       // it turned back into something that could be its password
  kFails,       // it did not, for the reason in `why`
  kUnanswered,  // nobody answered: no verdict on the blob
};

struct Opening {
  Verdict verdict = Verdict::kFails;
  std::string why;  // for kFails: a fixed reason, never a reply
};

// Whoever turns blobs back into values for the check.
struct BlobOpener {
  std::string name;  // as the details name it: "vaultd", "this device's key"
  // Takes a well-formed blob and its tier (1 or 2).
  std::function<Opening(std::string_view blob, int tier)> open;
};

// One exchange with the daemon (see ask_daemon).
using DaemonAsk = std::function<DaemonReply(const std::string& request)>;

// Opens blobs through vaultd with "UNVAULT:<blob>". It opens when the
// daemon answered with a value (anything but its three UNVAULT error
// replies) that could stand in the configuration; `why` is otherwise the
// error the reply names or "reply is not a password". A reply of no bytes
// is the empty value when `daemon_answers_us` (the daemon answered this
// user's PING; it closes on users it does not serve without a word), and
// kUnanswered otherwise, as is an exchange that failed. Every reply is
// wiped.
BlobOpener daemon_opener(DaemonAsk ask, bool daemon_answers_us);

// Opens blobs with `service`'s keys as vaultd would: `why` is
// "ERR:DECRYPT_FAIL" when unvault throws (vaultd's reply to the same blob)
// and "reply is not a password" when the value could not stand in the
// configuration. `service` must outlive the opener. Every value is wiped.
BlobOpener device_key_opener(const SecurityService& service);

// Where the checks learn about the device; both must outlive the checks.
struct Probes {
  const SecurityService& service;
  Machine& machine;
};

// Runs every check, in the order they are reported: config, seal, one line
// per occurrence of each protected key (a warning for a key without any),
// remote-updates, cpu-serial, usb-drive and, when `daemon_socket` is given,
// daemon-socket and daemon-ping. The blobs are opened by vaultd when a
// socket is given, else with the device's key. The key checks and remote-updates are left
// out when the configuration cannot be read. The protected files and
// public_key.pem are looked for beside the configuration. Reads only; the
// configuration's text is wiped before returning.
std::vector<Check> run_checks(const std::string& config_path,
                              const std::optional<std::string>& daemon_socket,
                              const Probes& probes);

}  // namespace vesk
