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
  if (const std::error_code error = replace_file(*output_path, report, 0644)) {
    err << "vaultcheck: cannot write " << *output_path << ": " << error.message() << "\n";
    return false;
  }
  return true;
}

}  // namespace vesk
