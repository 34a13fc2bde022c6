#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "security/secure_memory.h"

namespace vesk {

// Secret bytes (a password, a reply that carries one): held on the heap only,
// never inside the object as a short string is, so the language never
// copies them onto the stack; every buffer is wiped when it is released or
// outgrown, and a moved-from Secret holds nothing. A copy is a Secret too,
// wiped in its turn.
class Secret {
 public:
  Secret() = default;
  explicit Secret(std::string_view text) : bytes_(text.begin(), text.end()) {}

  const char* data() const { return bytes_.data(); }
  char* data() { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  std::size_t capacity() const { return bytes_.capacity(); }
  bool empty() const { return bytes_.empty(); }
  std::string_view view() const { return {bytes_.data(), bytes_.size()}; }

  // Shrinking keeps the buffer; growing moves the bytes to a new one and
  // wipes the old. Bytes added by resize are not set: read into them.
  void resize(std::size_t size) { bytes_.resize(size); }
  void reserve(std::size_t size) { bytes_.reserve(size); }
  Secret& append(std::string_view text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }

 private:
  std::vector<char, CleansingAllocator<char>> bytes_;
};

}  // namespace vesk
