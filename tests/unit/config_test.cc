// The configuration's line rules, on strings. The vault is a stand-in that
// writes B(value), so every expected file can be read at a glance; blobs
// met in the input are real, well-formed ones.

#include <gtest/gtest.h>

#include <stdexcept>

#include "config/policy_rules.h"

namespace vesk {
namespace {

const std::string kTier1Blob = "v1:AAECAwQFBgcICQoLDA0OD664kzSMRj2X5tfdsZRK59E=";
const std::string kTier2Blob =
    "v2:Dw4NDAsKCQgHBgUEAwIBAOSbIPeSx1BxelcEgG0pOOE5Y_5dAykm5cTP8p7uaZ0j";

// What the stand-in unwraps kTier1Blob to, per row.
PolicyCrypto stand_in_crypto(std::optional<std::string> tier1_plain) {
  return {.vault =
              [](std::string_view value) {
                if (value == "boom") throw std::runtime_error("cipher failed");
                return std::string("B(").append(value).append(")");
              },
          .unwrap = [tier1_plain](std::string_view blob, int tier) -> std::optional<Secret> {
            if (blob != kTier1Blob || tier != 1 || !tier1_plain) return std::nullopt;
            return Secret(*tier1_plain);
          }};
}

TEST(PolicyRules, RewriteTable) {
  const struct {
    const char* name;
    std::string before, after;  // each after a line "[PASSES]"
    int tier = 1;
    std::optional<std::string> tier1_plain = std::nullopt;
  } rows[] = {
      {"quoted", "admin_pass = \"pw\"\n", "admin_pass = \"B(pw)\"\n"},
      {"bare, trimmed, comment kept", "  admin_pass=pw \t # note\nx = 1",
       "  admin_pass = \"B(pw)\" # note\nx = 1\n"},
      {"one quote runs to the end", "admin_pass = \"pw # x \n", "admin_pass = \"B(pw # x )\"\n"},
      {"# inside quotes, one space before the comment", "admin_pass = x\"a#b\"  y # c\n",
       "admin_pass = \"B(a#b)\" # c\n"},
      {"quote in the comment only", "admin_pass = abc # \"hi\"\n",
       "admin_pass = \"B(abc)\" # \"hi\"\n"},
      {"empty values", "admin_pass =\nadmin_pass = \"\"\n",
       "admin_pass = \"B()\"\nadmin_pass = \"B()\"\n"},
      {"other keys, sections and comments",
       "admin_pass_old = a\nmy_admin_pass = b\n# admin_pass = c\n"
       "[PASSES.x]\nadmin_pass = d\n[OTHER]\nadmin_pass = e\n",
       ""},
      {"headers with blanks and comments; brackets in values",
       "[X]\n[ PASSES ] # main\nhosts = [\"a\"]\nadmin_pass = \"a[1]b\"\n",
       "[X]\n[ PASSES ] # main\nhosts = [\"a\"]\nadmin_pass = \"B(a[1]b)\"\n"},
      {"every occurrence in every section",
       "admin_pass = a\n[X]\n[PASSES]\nadmin_pass = b\nadmin_pass = c\n",
       "admin_pass = \"B(a)\"\n[X]\n[PASSES]\nadmin_pass = \"B(b)\"\nadmin_pass = \"B(c)\"\n"},
      {"CRLF kept, CR never in a value", "admin_pass = pw \r\nadmin_pass = \r\nx = 1\r\n",
       "admin_pass = \"B(pw)\"\r\nadmin_pass = \"B()\"\r\nx = 1\r\n"},
      {"a blob of the tier stays", "admin_pass = \"" + kTier2Blob + "\"\n", "", 2},
      {"the tag alone is no blob", "admin_pass = v2:Dev2024!\n",
       "admin_pass = \"B(v2:Dev2024!)\"\n", 2},
      {"another tier's blob, unwrapped", "admin_pass = " + kTier1Blob, "admin_pass = \"B(pw)\"\n",
       2, "pw"},
      {"garbage from a wrong key keeps the blob", "admin_pass = " + kTier1Blob,
       "admin_pass = \"B(" + kTier1Blob + ")\"\n", 2, "\xff\xfe"},
      {"a blob that does not open", "admin_pass = " + kTier1Blob,
       "admin_pass = \"B(" + kTier1Blob + ")\"\n", 2},
      {"a failed encryption writes nothing", "admin_pass = a\nadmin_pass = boom\n", ""}};
  for (const auto& row : rows) {
    const std::string before = "[PASSES]\n" + row.before;
    const std::string after =
        row.after.empty() ? before : "[PASSES]\n" + row.after;  // "": unchanged
    const PolicyRewrite rewrite =
        apply_policy(before, {"PASSES", "admin_pass"}, row.tier, stand_in_crypto(row.tier1_plain));
    EXPECT_EQ(rewrite.text.view(), after) << row.name;
    const bool fails = row.before.ends_with("boom\n");  // the stand-in's cipher fails on "boom"
    EXPECT_EQ(rewrite.encryption_failed, fails) << row.name;
    EXPECT_EQ(rewrite.rebuilt_lines.empty(), before == after && !fails) << row.name;
  }
}

TEST(PolicyRules, RemoteUpdateFlag) {
  for (const auto& [text, expected] :
       {std::pair{"allow_remote_updates = true", true},
        {"[X]\n  allow_remote_updates=\"true\" # yes\n", true},
        {"allow_remote_updates = false\nallow_remote_updates = true\n", true},
        {"# allow_remote_updates = true", false},
        {"allow_remote_updates = false # true", false},
        {"allow_remote_updates_x = true", false},
        {"allow_remote_updates = truex", false}}) {
    EXPECT_EQ(remote_updates_allowed(text), expected) << text;
  }
}

TEST(PolicyRules, ValuesThatCouldStandInTheFile) {
  for (const auto& [value, expected] : {
           std::pair<std::string, bool>{"", true},
           {"p\xc3\xa4ss w\xc3\xb6rd #=", true},
           {"key \xf0\x9f\x94\x91", true},
           {"a\"b", false},
           {"a\nb", false},
           {"a\rb", false},
           {std::string("a\0b", 3), false},
           {"\xff", false},
           {"\xc3", false},             // cut short
           {"\xe0\x80\x80", false},     // overlong
           {"\xed\xa0\x80", false},     // surrogate
           {"\xf4\x90\x80\x80", false}  // past U+10FFFF
       }) {
    EXPECT_EQ(could_stand_in_file(value), expected) << value;
  }
}

}  // namespace
}  // namespace vesk
