#include "vaultcheck/options.h"

namespace vesk {

ParsedOptions parse_options(const std::vector<std::string>& args) {
  ParsedOptions parsed;
  Options& options = parsed.options;
  const auto refuse = [&parsed](const char* problem, const std::string& arg) {
    parsed.error = std::string("vaultcheck: ").append(problem).append(" '").append(arg);
    parsed.error->append("' (see vaultcheck --help)");
    return parsed;
  };
  for (std::size_t i = 0; i < args.size() && !options.help; ++i) {
    const std::string& arg = args[i];
    if (arg == "--help") {
      options.help = true;
    } else if (arg == "--json" || arg == "--prometheus") {
      options.format = arg == "--json" ? ReportFormat::kJson : ReportFormat::kPrometheus;
    } else if (arg == "--no-daemon") {
      options.use_daemon = false;
    } else if (arg == "--config" || arg == "--socket" || arg == "--output") {
      if (i + 1 == args.size()) return refuse("missing value for", arg);
      (arg == "--config"   ? options.config_path
       : arg == "--socket" ? options.socket_path
                           : options.output_path) = args[++i];
    } else {
      // Nothing is checked by name, so a stray word is a mistake worth
      // stopping for rather than ignoring.
      return refuse(arg.starts_with("-") ? "unknown option" : "unexpected argument", arg);
    }
  }
  return parsed;
}

}  // namespace vesk
