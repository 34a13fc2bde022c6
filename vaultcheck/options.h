#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vesk {

// The exit status of a command line vaultcheck cannot follow; 0-2 are the
// verdicts of the checks.
inline constexpr int kUsageErrorStatus = 3;
// The exit status of a run whose report could not be written to --output's
// file: a timer's run that reported nothing, whatever the checks found.
inline constexpr int kReportNotWrittenStatus = 4;

enum class ReportFormat { kText, kJson, kPrometheus };

// What the command line asks for. A path left empty takes the program's
// default, which only main knows.
struct Options {
  std::optional<std::string> config_path;
  std::optional<std::string> socket_path;
  std::optional<std::string> output_path;  // standard output when empty
  bool use_daemon = true;
  ReportFormat format = ReportFormat::kText;
  bool help = false;
};

struct ParsedOptions {
  Options options;
  // The one line (without line end) to write to standard error when the
  // command line is unusable; nothing when it is usable.
  std::optional<std::string> error;
};

// Reads the arguments after the program name, left to right: "--config
// PATH", "--socket PATH", "--output PATH", "--no-daemon", "--json",
// "--prometheus", "--help". The word after --config, --socket or --output
// is its value whatever it looks like. Parsing stops at "--help". An
// unknown option, a missing value or any other word is an error; a later
// occurrence of an option overrides an earlier one (of --json and
// --prometheus, the later one counts).
ParsedOptions parse_options(const std::vector<std::string>& args);

}  // namespace vesk
