#pragma once

#include <string>

namespace vesk::testing {

// Sets the immutable attribute on a file or directory for the guard's
// lifetime and lifts it again, so temp folders can still be removed.
// Inactive when the file system (or the user) cannot set the attribute.
class ImmutableGuard {
 public:
  explicit ImmutableGuard(std::string path);
  ~ImmutableGuard();
  ImmutableGuard(const ImmutableGuard&) = delete;
  ImmutableGuard& operator=(const ImmutableGuard&) = delete;

  bool active() const { return active_; }

 private:
  std::string path_;
  bool active_ = false;
};

}  // namespace vesk::testing
