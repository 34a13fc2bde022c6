#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "security/security_service.h"

namespace vesk::fuzzing {

// A property broken by an input: report it and abort, so libFuzzer keeps
// the input as a crash.
[[noreturn]] inline void property_broken(const char* what) {
  std::fprintf(stderr, "property broken: %s\n", what);
  std::abort();
}

inline void require(bool holds, const char* what) {
  if (!holds) property_broken(what);
}

// A service reading a fixed fake device (a CPU serial and a USB drive), made
// once per fuzzing process under the temp folder.
const SecurityService& fake_device_service();

inline std::string as_text(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace vesk::fuzzing
