#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace vesk::testing {

inline bool running_under_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string_view(ci) == "true";
}

}  // namespace vesk::testing

// Skips a test whose machine lacks what it needs (a private mount
// namespace, an immutable attribute), except under CI, where the machine
// is known to have it and a skip would hide a broken test.
#define VESK_SKIP_UNLESS_CI(reason)                                        \
  do {                                                                     \
    if (::vesk::testing::running_under_ci()) GTEST_FAIL() << (reason);     \
    GTEST_SKIP() << (reason);                                              \
  } while (false)
