#pragma once

#include <string>

#include "config/installation.h"

namespace vesk {

// Terminal colours.
inline const std::string CYAN = "\x1b[01;36m";
inline const std::string GREEN = "\x1b[01;32m";
inline const std::string RED = "\x1b[01;31m";
inline const std::string YELLOW = "\x1b[01;33m";
inline const std::string RESET = "\x1b[00m";

// A whole line in one colour: the colour, the text, RESET, then a newline.
inline std::string coloured_line(const std::string& colour, const std::string& text) {
  return colour + text + RESET + "\n";
}

}  // namespace vesk
