#pragma once

#include <utility>
#include <variant>

namespace vesk {

// The error half of an Expected, so that returning one reads as what it is.
template <typename E>
struct Unexpected {
  E error;
};

// A value or the reason there is none: what a failure that callers must
// handle (not merely report) returns instead of throwing. A stand-in for
// C++23's std::expected, with the little of it this project uses.
template <typename T, typename E>
class Expected {
 public:
  // Implicit on purpose, as std::expected's: `return value;` and
  // `return Unexpected<E>{error};` both make one.
  // cppcheck-suppress noExplicitConstructor
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  // cppcheck-suppress noExplicitConstructor
  Expected(Unexpected<E> failure)
      : state_(std::in_place_index<1>, std::move(failure.error)) {}  // NOLINT

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  // Only when has_value().
  T& operator*() { return std::get<0>(state_); }
  const T& operator*() const { return std::get<0>(state_); }
  T* operator->() { return &std::get<0>(state_); }
  const T* operator->() const { return &std::get<0>(state_); }
  // Only when !has_value().
  const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

}  // namespace vesk
