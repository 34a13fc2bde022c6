#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "security/security_service.h"
#include "vaultcheck/file_attributes.h"
#include "vaultcheck/report.h"

namespace vesk {

// Whether a blob turned back into something that could be its password.
struct Opening {
  bool opens = false;
  std::string why;  // when it does not: a fixed reason, never a reply
};

// Whoever turns blobs back into values for the check.
struct BlobOpener {
  std::string name;  // as the details name it: "vaultd", "this device's key"
  // Takes a well-formed blob and its tier (1 or 2).
  std::function<Opening(const std::string& blob, int tier)> open;
};

// A daemon exchange: the reply to `request`, or nothing when there was no
// reply (no connection, nothing before close, timeout).
using DaemonAsk = std::function<std::optional<std::string>(const std::string& request)>;

// Opens blobs through vaultd with "UNVAULT:<blob>". It opens when the reply
// is none of the daemon's error replies (ERR_BLOB_SHORT, ERR_DECODE_FAIL,
// ERR:DECRYPT_FAIL, ERR) and could stand in the configuration; `why` is
// then the error reply, "no reply" (no exchange, or zero bytes) or "reply is
// not a password". Every reply is wiped.
BlobOpener daemon_opener(DaemonAsk ask);

// Opens blobs with `service`'s keys as vaultd would: `why` is
// "ERR:DECRYPT_FAIL" when unvault throws (vaultd's reply to the same blob)
// and "reply is not a password" when the value could not stand in the
// configuration. `service` must outlive the opener. Every value is wiped.
BlobOpener device_key_opener(const SecurityService& service);

// Everything the checks learn from the system. main fills the members with
// the real calls; each may be replaced to stage a device.
struct Probes {
  std::function<std::optional<std::string>(const std::string& path)> read_file;
  std::function<std::optional<FileInfo>(const std::string& path, bool follow_link)> file_info;
  std::function<Immutability(const std::string& path)> immutability;
  std::function<bool(const std::string& path)> writable;  // the write-access test
  std::function<bool(const std::string& path)> exists;
  BlobOpener opener;
  DaemonAsk ask_daemon;  // only called when a socket is given
  const SecurityService& service;
};

// Runs every check, in the order they are reported: config, seal, one line
// per occurrence of each protected key (a warning for a key without any),
// remote-updates, cpu-serial, usb-drive and, when `daemon_socket` is given,
// daemon-socket and daemon-ping. The key checks and remote-updates are left
// out when the configuration cannot be read. The protected files and
// public_key.pem are looked for beside the configuration. Reads only; the
// configuration's text is wiped before returning.
std::vector<Check> run_checks(const std::string& config_path,
                              const std::optional<std::string>& daemon_socket,
                              const Probes& probes);

}  // namespace vesk
