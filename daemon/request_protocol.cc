#include "daemon/request_protocol.h"

#include "security/blob_format.h"

namespace vesk {

const char* unvault_error_reply(UnvaultError error) {
  switch (error) {
    case UnvaultError::kTooShort:
      return kBlobTooShortReply;
    case UnvaultError::kUndecodable:
      return kBlobUndecodableReply;
    case UnvaultError::kDoesNotDecrypt:
      break;
  }
  return kDecryptFailReply;
}

int tier_of_blob(std::string_view blob) {
  const std::optional<char> tag = blob_tier_tag(blob);
  if (!tag) return 1;
  switch (*tag) {
    case '1':
      return 1;
    case '2':
      return 2;
    case '3':
      return 3;
    default:
      // Blobs name tiers 1 to 3 only; anything else between "v" and ":"
      // is read as the device-bound tier.
      return 2;
  }
}

std::optional<Secret> reply_to_request(std::string_view request, const Unvaulter& unvault) {
  request = request.substr(0, kMaxRequestBytes);
  request = request.substr(0, request.find('\0'));

  const std::size_t colon = request.find(kVerbEnd);
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view command = request.substr(0, colon);
  const std::string_view argument = request.substr(colon + 1);

  if (command == kUnvaultVerb) {
    // Whatever goes wrong inside the decryption, the client learns only
    // that it failed and the daemon goes on serving.
    try {
      Expected<Secret, UnvaultError> opened = unvault(argument, tier_of_blob(argument));
      if (!opened) return Secret(unvault_error_reply(opened.error()));
      return std::move(*opened);
    } catch (...) {
      return Secret(kDecryptFailReply);
    }
  }
  return Secret(command == kPingVerb ? kPongReply : kErrorReply);
}

}  // namespace vesk
