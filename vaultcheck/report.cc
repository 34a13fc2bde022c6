#include "vaultcheck/report.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "config/policy_rules.h"

namespace vesk {

namespace {

std::string padded(std::string text, std::size_t width) {
  text.resize(std::max(text.size(), width), ' ');
  return text;
}

void append_gauge_header(std::string& text, const char* name, const char* help) {
  text.append("# HELP ").append(name).append(" ").append(help).append("\n");
  text.append("# TYPE ").append(name).append(" gauge\n");
}

}  // namespace

std::string status_name(Status status) {
  constexpr std::array<const char*, 3> kNames = {"ok", "warn", "fail"};
  return kNames.at(static_cast<std::size_t>(status));
}

Status overall_status(const std::vector<Check>& checks) {
  Status worst = Status::kOk;
  for (const Check& check : checks) worst = std::max(worst, check.status);
  return worst;
}

int exit_status(const std::vector<Check>& checks) {
  return static_cast<int>(overall_status(checks));
}

std::string render_text(const std::vector<Check>& checks) {
  std::string text;
  for (const Check& check : checks) {
    text.append(padded(status_name(check.status), 5)).append(" ");
    text.append(padded(check.name, 14)).append(" ");
    if (check.line) text.append("line ").append(std::to_string(*check.line)).append(": ");
    text.append(check.detail).append("\n");
  }
  return text;
}

std::string prometheus_label(const std::string& text) {
  std::string escaped;
  for (const char byte : text) {
    if (byte == '\\' || byte == '"') escaped.push_back('\\');
    escaped.append(byte == '\n' ? "\\n" : std::string(1, byte));
  }
  return escaped;
}

std::string render_prometheus(const std::vector<Check>& checks, std::time_t run_time) {
  std::string text;
  append_gauge_header(text, "vesk_vaultcheck_status",
                      "Worst status of vaultcheck's checks: 0 ok, 1 warn, 2 fail.");
  text.append("vesk_vaultcheck_status ").append(std::to_string(exit_status(checks))).append("\n");
  append_gauge_header(text, "vesk_vaultcheck_check_status",
                      "Status of one vaultcheck check: 0 ok, 1 warn, 2 fail.");
  // One series per check name, its worst status: the report's size is fixed
  // by the names vaultcheck knows, whatever the configuration holds. The
  // names come in first-seen order, and there are a dozen at most.
  std::vector<std::pair<std::string_view, Status>> worst;
  for (const Check& check : checks) {
    const auto found = std::find_if(worst.begin(), worst.end(), [&check](const auto& seen) {
      return seen.first == check.name;
    });
    if (found == worst.end()) {
      worst.emplace_back(check.name, check.status);
    } else {
      found->second = std::max(found->second, check.status);
    }
  }
  for (const auto& [name, status] : worst) {
    text.append("vesk_vaultcheck_check_status{check=\"")
        .append(prometheus_label(std::string(name)));
    text.append("\"} ").append(std::to_string(static_cast<int>(status))).append("\n");
  }
  append_gauge_header(text, "vesk_vaultcheck_last_run_timestamp_seconds",
                      "When vaultcheck last ran, in seconds since the Unix epoch.");
  return text.append("vesk_vaultcheck_last_run_timestamp_seconds ")
      .append(std::to_string(run_time))
      .append("\n");
}

std::string json_string(const std::string& text) {
  constexpr std::string_view kHex = "0123456789abcdef";
  std::string quoted = "\"";
  for (std::string_view rest = text; !rest.empty();) {
    const auto byte = static_cast<unsigned char>(rest.front());
    // A path is bytes: UTF-8 passes as it is, and a byte that is not part
    // of a well-formed sequence becomes U+FFFD, so strict decoders accept
    // the output.
    const std::size_t length = utf8_sequence_length(rest);
    if (length == 0) {
      quoted.append("\\ufffd");
      rest.remove_prefix(1);
      continue;
    }
    if (byte == '"' || byte == '\\') quoted.push_back('\\');
    if (byte < 0x20) {
      quoted.append("\\u00").append(1, kHex[byte >> 4]).append(1, kHex[byte & 0xF]);
    } else {
      quoted.append(rest.substr(0, length));
    }
    rest.remove_prefix(length);
  }
  return quoted.append("\"");
}

std::string render_json(const std::string& config_path, const std::vector<Check>& checks) {
  std::string json = "{\"status\": ";
  json.append(json_string(status_name(overall_status(checks))))
      .append(", \"config\": ")
      .append(json_string(config_path))
      .append(", \"checks\": [");
  for (const Check& check : checks) {
    if (&check != &checks.front()) json.append(", ");
    json.append("{\"name\": ").append(json_string(check.name));
    json.append(", \"status\": ").append(json_string(status_name(check.status)));
    json.append(", \"detail\": ").append(json_string(check.detail));
    if (check.line) json.append(", \"line\": ").append(std::to_string(*check.line));
    json.append("}");
  }
  return json.append("]}\n");
}

}  // namespace vesk
