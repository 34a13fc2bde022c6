#include "config/policy_rules.h"

#include <algorithm>
#include <exception>
#include <numeric>

#include "security/blob_format.h"

namespace vesk {

namespace {

constexpr std::string_view kBlanks = " \t\r";

std::string_view trim(std::string_view text, std::string_view blanks = kBlanks) {
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The parts of a key line that the rebuilt line is made from.
struct KeyLine {
  std::string indentation;
  Secret value;
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
    const std::string_view unquoted =
        rest.substr(std::min(rest.size(), rest.find_first_not_of(" \t")));
    const std::string_view trimmed = trim(unquoted, " \t\r\n");
    parsed.value = Secret(trimmed.empty() ? unquoted : trimmed);
    return parsed;
  }
  const std::size_t close_quote = rest.find('"', open_quote + 1);
  parsed.value = Secret(close_quote == std::string_view::npos
                            ? rest.substr(open_quote + 1)
                            : rest.substr(open_quote + 1, close_quote - open_quote - 1));
  return parsed;
}

Secret rebuilt_line(const KeyLine& line, std::string_view key, std::string_view blob) {
  Secret rebuilt(line.indentation);
  rebuilt.append(key).append(" = \"").append(blob).append("\"");
  if (!line.comment.empty()) rebuilt.append(" ").append(line.comment);
  return rebuilt;
}

// Calls `visit(index, key_line)` for every line of `lines` that assigns
// `target.key` in section `target.section`; stops early when visit says so.
template <typename Visit>
void for_each_key_line(const std::vector<ConfigLine>& lines, const SecurityTarget& target,
                       Visit visit) {
  std::string section;
  for (std::size_t index = 0; index < lines.size(); ++index) {
    if (std::optional<std::string> name = section_header_name(lines[index].text.view())) {
      section = std::move(*name);
      continue;
    }
    if (section != target.section) continue;
    std::optional<KeyLine> key_line = parse_key_line(lines[index].text.view(), target.key);
    if (key_line && !visit(index, *key_line)) return;
  }
}

// The value to vault: the plain text behind a blob of the other console
// tier when it decrypts cleanly (so stages stack instead of nesting blobs),
// otherwise the value itself.
Secret plain_value(const Secret& value, int tier, const PolicyCrypto& crypto) {
  const int other_tier = tier == 1 ? 2 : 1;
  if ((tier == 1 || tier == 2) && is_well_formed_blob(value.view(), other_tier)) {
    std::optional<Secret> plain = crypto.unwrap(value.view(), other_tier);
    // A wrong key (a blob from another device) can pass the padding check
    // and unwrap to random bytes; the blob text is then kept rather than
    // the password replaced by garbage.
    if (plain && could_stand_in_file(plain->view())) return std::move(*plain);
  }
  return value;
}

}  // namespace

std::vector<ConfigLine> split_config_lines(std::string_view file_text) {
  std::vector<ConfigLine> lines;
  lines.reserve(static_cast<std::size_t>(std::count(file_text.begin(), file_text.end(), '\n')) + 1);
  std::size_t start = 0;
  while (start < file_text.size()) {
    const std::size_t newline = file_text.find('\n', start);
    if (newline == std::string_view::npos) {
      lines.push_back({Secret(file_text.substr(start)), ""});
      break;
    }
    const bool crlf = newline > start && file_text[newline - 1] == '\r';
    const std::size_t text_end = crlf ? newline - 1 : newline;
    lines.push_back({Secret(file_text.substr(start, text_end - start)), crlf ? "\r\n" : "\n"});
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

std::size_t utf8_sequence_length(std::string_view text) {
  if (text.empty()) return 0;
  const auto lead = static_cast<unsigned char>(text[0]);
  // The length of the sequence and the range its second byte must lie in
  // (which rules out overlong forms, surrogates and code points past
  // U+10FFFF), by the table of RFC 3629.
  std::size_t length = 1;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[k]);
    if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

bool could_stand_in_file(std::string_view value) {
  while (!value.empty()) {
    if (value.front() == '\0' || value.front() == '\r' || value.front() == '\n' ||
        value.front() == '"') {
      return false;
    }
    const std::size_t length = utf8_sequence_length(value);
    if (length == 0) return false;
    value.remove_prefix(length);
  }
  return true;
}

std::vector<KeyOccurrence> find_key_values(std::string_view file_text,
                                           const SecurityTarget& target) {
  std::vector<KeyOccurrence> found;
  const std::vector<ConfigLine> lines = split_config_lines(file_text);
  for_each_key_line(lines, target, [&found](std::size_t index, KeyLine& line) {
    found.push_back({index, std::move(line.value)});
    return true;
  });
  return found;
}

bool remote_updates_allowed(std::string_view file_text) {
  for (const ConfigLine& line : split_config_lines(file_text)) {
    const std::string_view cleaned = cleaned_text(line.text.view());
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
  for_each_key_line(lines, target, [&](std::size_t index, const KeyLine& key_line) {
    if (is_well_formed_blob(key_line.value.view(), tier)) return true;
    try {
      const std::string blob = crypto.vault(plain_value(key_line.value, tier, crypto).view());
      lines[index].text = rebuilt_line(key_line, target.key, blob);
      result.rebuilt_lines.push_back(index);
    } catch (const std::exception& error) {
      result.encryption_failed = true;
      result.failure = error.what();
    }
    return !result.encryption_failed;
  });
  // Nothing is written from a half-done pass: the file keeps its text.
  if (result.rebuilt_lines.empty() || result.encryption_failed) {
    result.text = Secret(file_text);
    return result;
  }
  // A rewritten file ends every line, its last one included, with a newline.
  if (lines.back().ending.empty()) lines.back().ending.push_back('\n');
  result.text.reserve(std::accumulate(lines.begin(), lines.end(), std::size_t{0},
                                      [](std::size_t size, const ConfigLine& line) {
                                        return size + line.text.size() + line.ending.size();
                                      }));
  for (const ConfigLine& line : lines) result.text.append(line.text.view()).append(line.ending);
  return result;
}

}  // namespace vesk
