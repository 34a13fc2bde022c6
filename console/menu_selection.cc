#include "console/menu_selection.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace vesk {

bool is_exit_token(const std::string& token) {
  return token == "0" || token == "q" || token == "Q";
}

std::optional<int> parse_selection(const std::string& token) {
  const char* const start = token.c_str();
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(start, &end, 10);
  if (end == start || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
    return std::nullopt;
  }
  return static_cast<int>(value);
}

}  // namespace vesk
