#pragma once

#include <ctime>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "vaultcheck/options.h"
#include "vaultcheck/report.h"

namespace vesk {

// `checks` in `format`: render_text, render_json or render_prometheus
// (stamped `run_time`).
std::string render_report(ReportFormat format, const std::string& config_path,
                          const std::vector<Check>& checks, std::time_t run_time);

// Puts `report` where the operator asked: replaces `output_path` (mode
// 0644) with it, or prints it to `out` when there is none. False, with the
// reason on `err`, when it cannot be written (the file is as it was) or
// the new file cannot be flushed to disk.
bool deliver_report(const std::string& report, const std::optional<std::string>& output_path,
                    std::ostream& out, std::ostream& err);

}  // namespace vesk
