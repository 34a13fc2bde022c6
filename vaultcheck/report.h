#pragma once

#include <cstddef>
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

// `text` as a JSON string with its quotes: quote and backslash escaped,
// bytes below 0x20 as \u00XX, each byte that is not part of well-formed
// UTF-8 as \ufffd, every other byte unchanged. The result is valid UTF-8.
std::string json_string(const std::string& text);

}  // namespace vesk
