// unvault takes any text at any tier without crashing and answers with a
// value, an in-band error text or a decryption error; vault of any value
// comes back whole.

#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "security/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vesk;
  if (size == 0) return 0;
  const SecurityService& service = fuzzing::fake_device_service();
  // The first byte picks the tier: 1-3 mostly, any int now and then.
  const int tier = data[0] < 0xf0 ? 1 + data[0] % 3 : static_cast<std::int8_t>(data[0]);
  const std::string text = fuzzing::as_text(data + 1, size - 1);

  try {
    const std::string value = service.unvault(text, tier, "");
    if (text.size() <= 3) fuzzing::require(value == kBlobTooShort, "short blob not reported");
  } catch (const DecryptionError&) {
    fuzzing::require(text.size() > 3, "short blob raised");
  }

  const std::string blob = service.vault(text, tier, "");
  fuzzing::require(blob.find_first_of("+/\n \t") == std::string::npos, "blob outside its alphabet");
  // The reader skips a three-character prefix, so only single-digit tiers
  // make blobs that can be read back.
  if (tier >= 0 && tier <= 9) {
    fuzzing::require(service.unvault(blob, tier, "") == text, "round trip lost the value");
  }
  return 0;
}
