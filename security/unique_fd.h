#pragma once

#include <unistd.h>

namespace vesk {

// Owns one file descriptor and closes it when it goes, so no early return
// or exception can leak a descriptor.
class UniqueFd final {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { reset(); }

  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }

  // Gives the descriptor up without closing it; the object is left empty.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Closes now and returns close's result, which a writer must check: a
  // delayed write error may surface only here.
  int close() noexcept {
    const int result = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return result;
  }

  // Closes the held descriptor, if any, and takes `fd` (-1 for none).
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace vesk
