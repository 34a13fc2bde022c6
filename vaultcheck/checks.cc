#include "vaultcheck/checks.h"

#include <sys/stat.h>

#include <algorithm>
#include <iomanip>
#include <iterator>
#include <sstream>
#include <utility>

#include "config/installation.h"
#include "config/policy_rules.h"
#include "daemon/request_protocol.h"
#include "protocol/vault_protocol.h"
#include "security/blob_format.h"
#include "security/errors.h"

namespace vesk {

namespace {

constexpr mode_t kPermissionBits = 07777;
constexpr const char* kNotAPassword = "reply is not a password";
constexpr const char* kCpuinfoUnreadable = "cannot read /proc/cpuinfo";

std::string octal_mode(mode_t mode) {
  std::ostringstream text;
  text << '0' << std::oct << std::setfill('0') << std::setw(3) << (mode & kPermissionBits);
  return text.str();
}

// keywarden finds the protected files and the update key in its working
// directory, which is the configuration's folder.
std::string beside(const std::string& config_path, const std::string& name) {
  const std::size_t slash = config_path.rfind('/');
  return slash == std::string::npos ? name : config_path.substr(0, slash + 1).append(name);
}

Opening judge_reply(std::string_view reply) {
  // The error is named by the protocol's word, never by the reply itself.
  if (const char* const error = unvault_error(reply)) return {Verdict::kFails, error};
  // A wrong key gets past the padding check now and then and yields
  // random bytes; those almost never pass as a password.
  return could_stand_in_file(reply) ? Opening{Verdict::kOpens, ""}
                                    : Opening{Verdict::kFails, kNotAPassword};
}

Check config_check(const std::string& path, const std::optional<FileInfo>& info,
                   const ConfigRead& read, const Probes& probes) {
  if (!read && read.error() == ConfigReadError::kTooLarge) {
    return {"config",
            Status::kFail,
            read_error_message(path, ConfigReadError::kTooLarge, probes.machine.config_limit()),
            {}};
  }
  const char* const problem = !info                  ? "not found"
                              : !S_ISREG(info->mode) ? "not a regular file"
                              : !read                ? "unreadable"
                                                     : nullptr;
  if (problem != nullptr) return {"config", Status::kFail, path + ": " + problem, {}};
  // The console's own test: root may write a 0444 file, so for root only
  // the immutable attribute seals the installation.
  const char* const state = probes.machine.is_writable(path) ? ", open" : ", sealed";
  return {"config", Status::kOk, path + ": mode " + octal_mode(info->mode) + state, {}};
}

Check seal_check(const std::string& config_path, const std::optional<FileInfo>& info,
                 const Probes& probes) {
  std::string immutable;
  std::string not_immutable;
  for (const std::string& name : system_file_names()) {
    const Immutability state = probes.machine.immutability(beside(config_path, name));
    std::string& list = state == Immutability::kImmutable ? immutable : not_immutable;
    list.append(list.empty() ? "" : ", ").append(name);
    if (state == Immutability::kMissing) list.append(" (missing)");
    if (state == Immutability::kUnreadable) list.append(" (unreadable)");
  }
  std::string detail;
  if (!immutable.empty()) detail.append(immutable).append(" immutable; ");
  if (!not_immutable.empty()) detail.append(not_immutable).append(" not immutable; ");
  detail.append("mode ").append(info ? octal_mode(info->mode) : "unknown");

  const bool sealed_mode = info && (info->mode & kPermissionBits) == SEALED_MODE;
  if (not_immutable.empty() && sealed_mode) return {"seal", Status::kOk, detail, {}};
  if (immutable.empty() && !sealed_mode) {
    return {"seal", Status::kWarn, std::string("open: ").append(detail), {}};
  }
  // Half a seal is worse than none: it looks protected and is not.
  return {"seal", Status::kFail, std::string("partly sealed: ").append(detail), {}};
}

Check key_check(const std::string& key, const KeyOccurrence& found, const BlobOpener& opener) {
  Check check{key, Status::kFail, "plain text", found.line + 1};
  const std::string_view blob = found.value.view();
  const std::optional<char> tag = blob_tier_tag(blob);
  if (!tag) return check;
  // Only the console's tiers count: a tier-3 blob needs the USB drive, and
  // no stage writes one into the configuration.
  const int tier = *tag == '1' ? 1 : (*tag == '2' ? 2 : 0);
  check.detail = "malformed blob";
  if (tier == 0 || !is_well_formed_blob(blob, tier)) return check;

  const Opening opening = opener.open(blob, tier);
  const bool opens = opening.verdict == Verdict::kOpens;
  if (opening.verdict == Verdict::kUnanswered) {
    // Not a verdict on the blob: vaultd's own check (daemon-ping) says why.
    check.detail =
        std::string("tier-").append(1, *tag).append(" blob not checked: vaultd did not answer");
  } else if (tier == 1 && opens) {
    check.status = Status::kWarn;
    check.detail = "tier-1 blob (development key, opens on any device)";
  } else if (tier == 1) {
    check.detail = std::string("tier-1 blob, ").append(opener.name).append(" cannot open it (");
    check.detail.append(opening.why).append(")");
  } else if (opens) {
    check.status = Status::kOk;
    check.detail = std::string("tier-2 blob, ").append(opener.name).append(" opens it");
  } else {
    check.detail = std::string("tier-2 blob does not open on this device (");
    check.detail.append(opening.why).append(")");
  }
  return check;
}

void append_key_checks(std::string_view text, const BlobOpener& opener,
                       std::vector<Check>& checks) {
  for (const SecurityTarget& target : security_policy()) {
    const std::vector<KeyOccurrence> occurrences = find_key_values(text, target);
    if (occurrences.empty()) {
      checks.push_back(
          {target.key, Status::kWarn, std::string("not in [").append(target.section) + "]", {}});
    }
    std::transform(
        occurrences.begin(), occurrences.end(), std::back_inserter(checks),
        [&](const KeyOccurrence& found) { return key_check(target.key, found, opener); });
  }
}

Check remote_updates_check(std::string_view text, const std::string& config_path,
                           const Probes& probes) {
  Check check{"remote-updates", Status::kOk, "off", {}};
  if (!remote_updates_allowed(text)) return check;
  // Without the key every signed update is refused: the setting promises
  // what the device cannot do.
  const bool key_present = probes.machine.exists(beside(config_path, PUBLIC_KEY_PATH));
  check.status = key_present ? Status::kOk : Status::kFail;
  check.detail = std::string(key_present ? "on, " : "on, but ").append(PUBLIC_KEY_PATH);
  check.detail.append(key_present ? " present" : " is missing");
  return check;
}

void append_hardware_checks(const SecurityService& service, std::vector<Check>& checks) {
  // Tier keys and the operator's authentication are built from the
  // serials: they are never shown.
  const SerialProbe cpu = service.identity.cpu_serial();
  Check cpu_check{"cpu-serial", Status::kFail, kCpuinfoUnreadable, {}};
  if (cpu.serial) {
    cpu_check.status = Status::kOk;
    cpu_check.detail = "present";
  } else if (cpu.read) {
    cpu_check.detail = std::string(kUnknownCpuSerial).append(": no CPU serial");
    cpu_check.detail.append(", tier-2 keys would bind to nothing");
  }
  checks.push_back(std::move(cpu_check));
  // The drive is needed only while an operator authenticates, so its
  // absence is the normal state.
  const bool usb_present = service.identity.device_serial(kUsbDevice).has_value();
  checks.push_back({"usb-drive",
                    Status::kOk,
                    usb_present ? std::string("present at ") + kUsbDevice : "absent",
                    {}});
}

// What daemon-ping says when the daemon did not answer PONG.
std::string why_no_pong(const DaemonReply& reply) {
  switch (reply.outcome) {
    case Exchange::kAnswered:
      return reply.bytes.empty() ? "no PONG: closed without a reply" : "no PONG: another reply";
    case Exchange::kNoSocket:
      return "no PONG: no socket";
    case Exchange::kRefused:
      return "no PONG: connection refused";
    case Exchange::kDenied:
      return "no PONG: permission denied";
    case Exchange::kTimedOut:
      return "no PONG within 2 s";
    case Exchange::kFailed:
      break;
  }
  return "no PONG: the exchange failed";
}

void append_daemon_checks(const std::string& socket_path, const DaemonReply& pong, bool answered,
                          const Probes& probes, std::vector<Check>& checks) {
  const std::optional<FileInfo> info = probes.machine.file_info(socket_path, false);
  Check socket{"daemon-socket", Status::kFail, socket_path + ": ", {}};
  if (!info || !S_ISSOCK(info->mode)) {
    socket.detail.append(info ? "not a socket" : "missing");
  } else {
    socket.status = Status::kOk;
    socket.detail.append("socket, mode ").append(octal_mode(info->mode));
    socket.detail.append(", owner ").append(std::to_string(info->owner));
    socket.detail.append(":").append(std::to_string(info->group));
  }
  checks.push_back(std::move(socket));

  checks.push_back({"daemon-ping",
                    answered ? Status::kOk : Status::kFail,
                    answered ? "PONG" : why_no_pong(pong),
                    {}});
}

}  // namespace

BlobOpener daemon_opener(DaemonAsk ask, bool daemon_answers_us) {
  // vaultd reads the tier from the blob's prefix itself.
  auto open = [ask = std::move(ask), daemon_answers_us](std::string_view blob, int /*tier*/) {
    const DaemonReply reply = ask(std::string(kUnvaultVerb).append(1, kVerbEnd).append(blob));
    const bool answered =
        reply.outcome == Exchange::kAnswered && (!reply.bytes.empty() || daemon_answers_us);
    return answered ? judge_reply(reply.bytes.view()) : Opening{Verdict::kUnanswered, ""};
  };
  return {"vaultd", std::move(open)};
}

BlobOpener device_key_opener(const SecurityService& service) {
  auto open = [&service](std::string_view blob, int tier) {
    try {
      const Expected<Secret, UnvaultError> value = service.cipher.unvault(blob, tier, "");
      // vaultd's reply to the same blob, so a report reads the same
      // whichever way the blobs were opened.
      if (!value) return Opening{Verdict::kFails, unvault_error_reply(value.error())};
      return could_stand_in_file(value->view()) ? Opening{Verdict::kOpens, ""}
                                                : Opening{Verdict::kFails, kNotAPassword};
    } catch (const DeviceIdentityError&) {
      return Opening{Verdict::kFails, kCpuinfoUnreadable};
    } catch (const CryptoError&) {
      return Opening{Verdict::kFails, kDecryptFailReply};
    }
  };
  return {"this device's key", std::move(open)};
}

std::vector<Check> run_checks(const std::string& config_path,
                              const std::optional<std::string>& daemon_socket,
                              const Probes& probes) {
  std::vector<Check> checks;
  const std::optional<FileInfo> info = probes.machine.file_info(config_path, true);
  // Only a regular file is read: opening a FIFO would wait for a writer,
  // and a device could stream without end.
  ConfigRead read = Unexpected<ConfigReadError>{ConfigReadError::kUnreadable};
  if (info && S_ISREG(info->mode)) read = probes.machine.read_config(config_path);
  // Asked first, though reported last: whether the daemon serves this user
  // decides what a reply of no bytes to UNVAULT means.
  const DaemonAsk ask = [&](const std::string& request) {
    return probes.machine.ask_daemon(daemon_socket.value_or(""), request);
  };
  const DaemonReply pong = daemon_socket ? ask(std::string(kPingVerb) + kVerbEnd) : DaemonReply{};
  const bool daemon_answers_us =
      pong.outcome == Exchange::kAnswered && pong.bytes.view() == kPongReply;

  checks.push_back(config_check(config_path, info, read, probes));
  checks.push_back(seal_check(config_path, info, probes));
  if (read) {
    const BlobOpener opener =
        daemon_socket ? daemon_opener(ask, daemon_answers_us) : device_key_opener(probes.service);
    append_key_checks((*read).view(), opener, checks);
    checks.push_back(remote_updates_check((*read).view(), config_path, probes));
  }
  append_hardware_checks(probes.service, checks);
  if (daemon_socket) append_daemon_checks(*daemon_socket, pong, daemon_answers_us, probes, checks);
  return checks;
}

}  // namespace vesk
