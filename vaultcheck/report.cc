#include "vaultcheck/report.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace vesk {

namespace {

std::string padded(std::string text, std::size_t width) {
  text.resize(std::max(text.size(), width), ' ');
  return text;
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

std::string json_string(const std::string& text) {
  constexpr std::string_view kHex = "0123456789abcdef";
  std::string quoted = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') quoted.push_back('\\');
    if (byte < 0x20) {
      quoted.append("\\u00").append(1, kHex[byte >> 4]).append(1, kHex[byte & 0xF]);
    } else {
      // Bytes from 0x80 up pass unchanged: a path is bytes, and a UTF-8
      // path then reads right.
      quoted.push_back(c);
    }
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
