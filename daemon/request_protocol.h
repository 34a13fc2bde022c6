#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/vault_protocol.h"
#include "security/blob_cipher.h"

namespace vesk {

// Turns a blob back into its value under the key of `tier`, or says why it
// gives none; in the daemon this is SecurityService::unvault with the empty
// `extra`. May throw.
using Unvaulter = std::function<Expected<Secret, UnvaultError>(std::string_view blob, int tier)>;

// The daemon's reply for a blob that gave no value: kBlobTooShortReply,
// kBlobUndecodableReply or kDecryptFailReply.
const char* unvault_error_reply(UnvaultError error);

// The tier named by a blob's prefix "v<digit>:": 1, 2 or 3 for those
// digits, 2 for any other byte between "v" and ":", and 1 when the argument
// does not start with "v", has no ":" as third byte, or is shorter than that.
int tier_of_blob(std::string_view blob);

// The reply to the bytes one read returned (a Secret: it may carry a
// value), or nullopt when the connection is to be closed without writing
// anything.
//
// Only the first kMaxRequestBytes bytes and, of those, the bytes before the
// first NUL are looked at. The text is split at its first ":" into command
// and argument (no ":" at all: nullopt). "PING" gets "PONG"; "UNVAULT"
// gets the value `unvault` gives for the whole argument and the tier of its
// prefix, the protocol's word for the error it names, or "ERR:DECRYPT_FAIL"
// when `unvault` throws anything; every other
// command gets "ERR". Commands match byte for byte, case-sensitively.
std::optional<Secret> reply_to_request(std::string_view request, const Unvaulter& unvault);

}  // namespace vesk
