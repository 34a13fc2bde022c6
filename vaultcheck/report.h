#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace vesk {

// Ordered from best to worst, since the verdict of a run is its worst check;
// the values are the exit statuses.
enum class Status { kOk = 0, kWarn = 1, kFail = 2 };

// The outcome of one check. `detail` never holds a secret.
struct Check {
  std::string name;
  Status status = Status::kOk;
  std::string detail;
  std::optional<std::size_t> line;  // 1-based line of the configuration
};

// "ok", "warn" or "fail".
std::string status_name(Status status);

// The worst status of `checks`; ok when there are none.
Status overall_status(const std::vector<Check>& checks);

// The program's exit status for `checks`: 0 all ok, 1 some warn and no
// fail, 2 some fail.
int exit_status(const std::vector<Check>& checks);

// One line per check: the status padded to 5 columns, a blank, the name
// padded to 14 columns, a blank, then "line N: " when the check has a line,
// and the detail.
std::string render_text(const std::vector<Check>& checks);

// One JSON object and a line end: {"status": ..., "config": ..., "checks":
// [{"name": ..., "status": ..., "detail": ..., "line": N}, ...]}, "line"
// only where the check has one.
std::string render_json(const std::string& config_path, const std::vector<Check>& checks);

// The metrics a fleet's Prometheus scrapes (through node_exporter's textfile
// collector), in the text exposition format 0.0.4, each with # HELP and
// # TYPE; all gauges with the status codes 0 ok, 1 warn, 2 fail:
//   vesk_vaultcheck_status                      the worst status of `checks`
//   vesk_vaultcheck_check_status{check="NAME"}  one series per check name:
//                                               the worst status of its checks
//                                               (a key set on several lines)
//   vesk_vaultcheck_last_run_timestamp_seconds  `run_time`
// No detail goes into it; the metric names are what alert rules rely on.
std::string render_prometheus(const std::vector<Check>& checks, std::time_t run_time);

// `text` as a Prometheus label value, without its quotes: backslash, quote
// and line feed escaped, every other byte unchanged.
std::string prometheus_label(const std::string& text);

// `text` as a JSON string with its quotes: quote and backslash escaped,
// bytes below 0x20 as \u00XX, each byte that is not part of well-formed
// UTF-8 as \ufffd, every other byte unchanged. The result is valid UTF-8.
std::string json_string(const std::string& text);

}  // namespace vesk
