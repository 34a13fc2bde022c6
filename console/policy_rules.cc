#include "console/policy_rules.h"

#include <algorithm>
#include <exception>

namespace vesk {

namespace {

constexpr std::string_view kBlanks = " \t\r";

std::string_view trim(std::string_view text, std::string_view blanks = kBlanks) {
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool is_url_safe_base64_character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// The parts of a key line that the rebuilt line is made from.
struct KeyLine {
  std::string indentation;
  std::string value;
  std::string comment;  // from its "#", empty when the line has none
};

std::optional<KeyLine> parse_key_line(std::string_view line, std::string_view key) {
  const std::string_view cleaned = cleaned_text(line);
  const std::size_t equals = cleaned.find('=');
  if (equals == std::string_view::npos || trim(cleaned.substr(0, equals)) != key) {
    return std::nullopt;
  }
  KeyLine parsed;
  parsed.indentation = std::string(line.substr(0, line.find_first_not_of(" \t")));
  if (cleaned.size() < line.size()) parsed.comment = std::string(line.substr(cleaned.size()));

  // The value is read from the text before the comment, so a quote or "#"
  // inside a comment never decides what the value is.
  const std::string_view rest = cleaned.substr(equals + 1);
  const std::size_t open_quote = rest.find('"');
  if (open_quote == std::string_view::npos) {
    const std::string_view unquoted = rest.substr(std::min(rest.size(), rest.find_first_not_of(" \t")));
    const std::string_view trimmed = trim(unquoted, " \t\r\n");
    parsed.value = std::string(trimmed.empty() ? unquoted : trimmed);
    return parsed;
  }
  const std::size_t close_quote = rest.find('"', open_quote + 1);
  parsed.value = std::string(close_quote == std::string_view::npos
                                 ? rest.substr(open_quote + 1)
                                 : rest.substr(open_quote + 1, close_quote - open_quote - 1));
  return parsed;
}

std::string rebuilt_line(const KeyLine& line, std::string_view key, const std::string& blob) {
  std::string rebuilt = line.indentation;
  rebuilt.append(key).append(" = \"").append(blob).append("\"");
  if (!line.comment.empty()) rebuilt.append(" ").append(line.comment);
  return rebuilt;
}

// The value to vault: the plain text behind a blob of the other console
// tier when it decrypts cleanly (so stages stack instead of nesting blobs),
// otherwise the value itself.
std::string plain_value(const std::string& value, int tier, const PolicyCrypto& crypto) {
  const int other_tier = tier == 1 ? 2 : 1;
  if ((tier == 1 || tier == 2) && is_blob_of_tier(value, other_tier)) {
    if (std::optional<std::string> plain = crypto.unwrap(value, other_tier)) return *plain;
  }
  return value;
}

}  // namespace

std::vector<ConfigLine> split_config_lines(std::string_view file_text) {
  std::vector<ConfigLine> lines;
  std::size_t start = 0;
  while (start < file_text.size()) {
    const std::size_t newline = file_text.find('\n', start);
    if (newline == std::string_view::npos) {
      lines.push_back({std::string(file_text.substr(start)), ""});
      break;
    }
    const bool crlf = newline > start && file_text[newline - 1] == '\r';
    const std::size_t text_end = crlf ? newline - 1 : newline;
    lines.push_back({std::string(file_text.substr(start, text_end - start)), crlf ? "\r\n" : "\n"});
    start = newline + 1;
  }
  return lines;
}

std::string_view cleaned_text(std::string_view line) {
  bool inside_quotes = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') inside_quotes = !inside_quotes;
    if (line[i] == '#' && !inside_quotes) return line.substr(0, i);
  }
  return line;
}

std::optional<std::string> section_header_name(std::string_view line) {
  const std::string_view header = trim(cleaned_text(line));
  if (header.size() < 2 || header.front() != '[' || header.back() != ']') return std::nullopt;
  return std::string(trim(header.substr(1, header.size() - 2)));
}

bool is_blob_of_tier(std::string_view value, int tier) {
  if (tier < 0 || tier > 9 || value.size() < 3) return false;
  if (value[0] != 'v' || value[1] != static_cast<char>('0' + tier) || value[2] != ':') return false;
  const std::string_view body = value.substr(3);
  if (body.empty() || body.size() % 4 != 0) return false;
  const std::size_t padding = body.size() - (body.find_last_not_of('=') + 1);
  if (padding > 2) return false;
  const std::string_view digits = body.substr(0, body.size() - padding);
  if (!std::all_of(digits.begin(), digits.end(), is_url_safe_base64_character)) return false;
  const std::size_t decoded = body.size() / 4 * 3 - padding;
  return decoded >= 32 && decoded % 16 == 0;
}

bool remote_updates_allowed(std::string_view file_text) {
  for (const ConfigLine& line : split_config_lines(file_text)) {
    const std::string_view cleaned = cleaned_text(line.text);
    const std::size_t equals = cleaned.find('=');
    if (equals == std::string_view::npos) continue;
    if (trim(cleaned.substr(0, equals)) != "allow_remote_updates") continue;
    const std::string_view value = trim(cleaned.substr(equals + 1));
    if (value == "true" || value == "\"true\"") return true;
  }
  return false;
}

PolicyRewrite apply_policy(std::string_view file_text, const SecurityTarget& target, int tier,
                           const PolicyCrypto& crypto) {
  std::vector<ConfigLine> lines = split_config_lines(file_text);
  PolicyRewrite result;
  std::string section;
  for (std::size_t index = 0; index < lines.size(); ++index) {
    ConfigLine& line = lines[index];
    if (std::optional<std::string> name = section_header_name(line.text)) {
      section = std::move(*name);
      continue;
    }
    if (section != target.section) continue;
    const std::optional<KeyLine> key_line = parse_key_line(line.text, target.key);
    if (!key_line || is_blob_of_tier(key_line->value, tier)) continue;
    try {
      const std::string blob = crypto.vault(plain_value(key_line->value, tier, crypto));
      line.text = rebuilt_line(*key_line, target.key, blob);
      result.rebuilt_lines.push_back(index);
    } catch (const std::exception&) {
      // Nothing is written from a half-done pass: the file keeps its text.
      result.encryption_failed = true;
      result.text = std::string(file_text);
      return result;
    }
  }
  if (result.rebuilt_lines.empty()) {
    result.text = std::string(file_text);
    return result;
  }
  // A rewritten file ends every line, its last one included, with a newline.
  if (lines.back().ending.empty()) lines.back().ending = "\n";
  for (const ConfigLine& line : lines) result.text.append(line.text).append(line.ending);
  return result;
}

}  // namespace vesk
