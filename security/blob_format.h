#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vesk {

// A vault blob is "v", the tier in decimal, ":", then the URL-safe Base64
// (with "=" padding) of a 16-byte IV followed by the AES-256-CBC ciphertext.
// Readers skip exactly three prefix characters, so only tiers 0-9 round-trip.
inline constexpr std::size_t kBlobPrefixSize = 3;

// "v<tier>:".
std::string blob_prefix(int tier);

// The byte between "v" and ":" when `text` starts with a blob prefix
// ("v", any byte, ":"), or nothing.
std::optional<char> blob_tier_tag(std::string_view text);

// Whether `text` is a blob of `tier` as the writer makes it: the prefix,
// then padded URL-safe Base64 whose payload is an IV and at least one whole
// cipher block. Says nothing about whether it decrypts.
bool is_well_formed_blob(std::string_view text, int tier);

}  // namespace vesk
