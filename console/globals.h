#pragma once

#include <string>

namespace vesk {

// Installation layout. The relative names act in the console's working
// directory, which the console never changes.
inline const std::string PROD_DIR = "/opt/vesk/";
inline const std::string PROD_CONFIG = "/opt/vesk/installation.toml";
inline const std::string LOCAL_CONFIG = "installation.toml";
inline const std::string PUBLIC_KEY_PATH = "public_key.pem";
// The protected files, one word each, made immutable and mutable together.
inline const std::string SYSTEM_FILES = "installation.toml keywarden tarvemill_run";
inline const std::string APP_BINARY = "tarvemill_run";

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
