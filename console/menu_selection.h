#pragma once

#include <optional>
#include <string>

namespace vesk {

// True for the one-character tokens that end the menu: "0", "q" and "Q".
bool is_exit_token(const std::string& token);

// The number a selection token stands for, read the way a base-10 strtol
// reads it (optional sign, digits up to the first non-digit: "4x" is 4).
// Empty when no digit converts or the value does not fit in 32 bits.
std::optional<int> parse_selection(const std::string& token);

}  // namespace vesk
