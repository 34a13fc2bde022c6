#include "security/blob_format.h"

#include <algorithm>

namespace vesk {

namespace {

constexpr std::size_t kIvAndOneBlock = 32;
constexpr std::size_t kBlockSize = 16;

bool is_url_safe_base64_character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

}  // namespace

std::string blob_prefix(int tier) {
  std::string prefix = "v";
  prefix.append(std::to_string(tier)).push_back(':');
  return prefix;
}

std::optional<char> blob_tier_tag(std::string_view text) {
  if (text.size() < kBlobPrefixSize || text[0] != 'v' || text[2] != ':') return std::nullopt;
  return text[1];
}

bool is_well_formed_blob(std::string_view text, int tier) {
  if (tier < 0 || tier > 9 || blob_tier_tag(text) != static_cast<char>('0' + tier)) return false;
  const std::string_view body = text.substr(kBlobPrefixSize);
  if (body.empty() || body.size() % 4 != 0) return false;
  const std::size_t padding = body.size() - (body.find_last_not_of('=') + 1);
  if (padding > 2) return false;
  const std::string_view digits = body.substr(0, body.size() - padding);
  if (!std::all_of(digits.begin(), digits.end(), is_url_safe_base64_character)) return false;
  const std::size_t payload = body.size() / 4 * 3 - padding;
  return payload >= kIvAndOneBlock && payload % kBlockSize == 0;
}

}  // namespace vesk
