#pragma once

// The vault socket's protocol: what vaultd and every client of it agree on.
// One request per connection, one reply, then the daemon closes; no framing.

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace vesk {

// A request is "<verb>:<argument>". The daemon reads it with a single read
// into a zero-filled buffer of kRequestBufferSize bytes, whose last byte
// stays NUL, so at most kMaxRequestBytes of a request count.
inline constexpr char kVerbEnd = ':';
inline constexpr std::string_view kPingVerb = "PING";
inline constexpr std::string_view kUnvaultVerb = "UNVAULT";
inline constexpr std::size_t kRequestBufferSize = 4096;
inline constexpr std::size_t kMaxRequestBytes = kRequestBufferSize - 1;

// The daemon's words. PING is answered with kPongReply, an unknown verb with
// kErrorReply. UNVAULT is answered with the value, or with one of
// kUnvaultErrorReplies: the blob is too short, its body does not decode,
// or it does not decrypt on this device.
inline constexpr const char* kPongReply = "PONG";
inline constexpr const char* kErrorReply = "ERR";
inline constexpr const char* kBlobTooShortReply = "ERR_BLOB_SHORT";
inline constexpr const char* kBlobUndecodableReply = "ERR_DECODE_FAIL";
inline constexpr const char* kDecryptFailReply = "ERR:DECRYPT_FAIL";
inline constexpr std::array<const char*, 3> kUnvaultErrorReplies = {
    kBlobTooShortReply, kBlobUndecodableReply, kDecryptFailReply};

// The error an UNVAULT reply names, or nullptr when the reply is a value.
// A value that reads like another word of the protocol ("ERR", "PONG") is a
// value: only these three are errors in a reply to UNVAULT.
inline const char* unvault_error(std::string_view reply) {
  const auto* const found = std::find_if(kUnvaultErrorReplies.begin(), kUnvaultErrorReplies.end(),
                                         [reply](const char* word) { return reply == word; });
  return found == kUnvaultErrorReplies.end() ? nullptr : *found;
}

}  // namespace vesk
