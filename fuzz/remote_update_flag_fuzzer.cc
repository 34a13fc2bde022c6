// The remote-update flag scan on any configuration text.

#include <cstdint>

#include "console/policy_rules.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = vesk::fuzzing::as_text(data, size);
  if (vesk::remote_updates_allowed(text)) {
    vesk::fuzzing::require(text.find("allow_remote_updates") != std::string::npos &&
                               text.find("true") != std::string::npos,
                           "allowed without the key and true");
  }
  return 0;
}
