#include "tests/support/immutable_guard.h"

#include <utility>

#include "tests/support/shell.h"

namespace vesk::testing {

ImmutableGuard::ImmutableGuard(std::string path) : path_(std::move(path)) {
  active_ = run_shell("chattr +i '" + path_ + "' 2>/dev/null").exit_status == 0;
}

ImmutableGuard::~ImmutableGuard() {
  if (active_) run_shell("chattr -i '" + path_ + "'");
}

}  // namespace vesk::testing
