#include "vaultcheck/output.h"

#include <system_error>

#include "config/config_file.h"

namespace vesk {

std::string render_report(ReportFormat format, const std::string& config_path,
                          const std::vector<Check>& checks, std::time_t run_time) {
  switch (format) {
    case ReportFormat::kJson:
      return render_json(config_path, checks);
    case ReportFormat::kPrometheus:
      return render_prometheus(checks, run_time);
    case ReportFormat::kText:
      break;
  }
  return render_text(checks);
}

bool deliver_report(const std::string& report, const std::optional<std::string>& output_path,
                    std::ostream& out, std::ostream& err) {
  if (!output_path) {
    out << report << std::flush;
    return true;
  }
  bool renamed = false;
  const std::error_code error = replace_file(*output_path, report, 0644, &renamed);
  if (!error) return true;
  // In place but not flushed: a power cut may bring the old report back.
  err << "vaultcheck: cannot " << (renamed ? "sync " : "write ") << *output_path
      << (renamed ? " to disk: " : ": ") << error.message() << "\n";
  return false;
}

}  // namespace vesk
