#pragma once

#include <openssl/crypto.h>
#include <sys/prctl.h>

#include <cstddef>
#include <memory>
#include <vector>

namespace vesk {

// Allocator that overwrites every block before handing it back to the heap,
// so key material, IVs and plaintext do not linger in freed memory. It also
// covers the old buffer a vector leaves behind when it grows.
template <typename T>
struct CleansingAllocator {
  using value_type = T;

  CleansingAllocator() noexcept = default;
  template <typename U>
  explicit CleansingAllocator(const CleansingAllocator<U>& /*other*/) noexcept {}

  T* allocate(std::size_t count) { return std::allocator<T>{}.allocate(count); }

  // Room made by resize() is left as it is rather than zeroed: a buffer
  // about to be read into is not written twice.
  template <typename U>
  void construct(U* place) noexcept {
    ::new (static_cast<void*>(place)) U;
  }

  void deallocate(T* block, std::size_t count) noexcept {
    OPENSSL_cleanse(block, count * sizeof(T));
    std::allocator<T>{}.deallocate(block, count);
  }

  template <typename U>
  bool operator==(const CleansingAllocator<U>& /*other*/) const noexcept {
    return true;
  }
};

// Bytes that are wiped when released: keys, IVs, plaintext buffers.
using SecureBytes = std::vector<unsigned char, CleansingAllocator<unsigned char>>;

// Makes the process non-dumpable: no core file of it (which would hold its
// keys and passwords) is written, and no other process of its user may
// read its memory. The programs that hold secrets call it first.
inline void forbid_core_dumps() noexcept { (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0); }

}  // namespace vesk
