// The daemon's request handling on any request bytes: the reply is always
// one of the protocol's replies or what unvault returned, and unvault sees
// exactly the argument of an UNVAULT request with the tier of its prefix.

#include <cstdint>
#include <optional>
#include <stdexcept>

#include "daemon/request_protocol.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vesk;
  const std::string request = fuzzing::as_text(data, size);

  // A recording stand-in first, so the property can be checked exactly.
  std::optional<std::string> seen_blob;
  int seen_tier = 0;
  const auto recording = [&](const std::string& blob, int tier) -> std::string {
    seen_blob = blob;
    seen_tier = tier;
    if (blob.size() % 7 == 3) throw std::runtime_error("stand-in failure");
    return "value<" + blob + ">";
  };
  const std::optional<std::string> reply = reply_to_request(request, recording);

  std::string text = request.substr(0, kMaxRequestBytes);
  text = text.substr(0, text.find('\0'));
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) {
    fuzzing::require(!reply && !seen_blob, "request without a colon got a reply");
    return 0;
  }
  fuzzing::require(reply.has_value(), "request with a colon got no reply");
  const std::string command = text.substr(0, colon);
  const std::string argument = text.substr(colon + 1);
  if (command == "UNVAULT") {
    fuzzing::require(seen_blob == argument, "unvault did not get the whole argument");
    fuzzing::require(seen_tier >= 1 && seen_tier <= 3, "tier out of range");
    fuzzing::require(*reply == (argument.size() % 7 == 3 ? std::string(kDecryptFailReply)
                                                          : "value<" + argument + ">"),
                     "unvault's answer not passed on");
  } else {
    fuzzing::require(!seen_blob, "unvault called for another command");
    fuzzing::require(*reply == (command == "PING" ? kPongReply : kErrorReply), "wrong reply");
  }

  // The real service must take the same bytes without crashing.
  const SecurityService& service = fuzzing::fake_device_service();
  const std::optional<std::string> real = reply_to_request(
      request, [&service](const std::string& blob, int tier) { return service.unvault(blob, tier, ""); });
  fuzzing::require(real.has_value() == reply.has_value(), "real service changed the framing");
  return 0;
}
