#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vesk {

// The exit status of a command line vaultcheck cannot follow; 0-2 are the
// verdicts of the checks.
inline constexpr int kUsageErrorStatus = 3;

// What the command line asks for. A path left empty takes the program's
// default, which only main knows.
struct Options {
  std::optional<std::string> config_path;
  std::optional<std::string> socket_path;
  bool use_daemon = true;
  bool json = false;
  bool help = false;
};

struct ParsedOptions {
  Options options;
  // The one line (without line end) to write to standard error when the
  // command line is unusable; nothing when it is usable.
  std::optional<std::string> error;
};

// Reads the arguments after the program name, left to right: "--config
// PATH", "--socket PATH", "--no-daemon", "--json", "--help". The word after
// --config or --socket is its value whatever it looks like. Parsing stops
// at "--help". An unknown option, a missing value or any other word is an
// error; a later occurrence of an option overrides an earlier one.
ParsedOptions parse_options(const std::vector<std::string>& args);

}  // namespace vesk
