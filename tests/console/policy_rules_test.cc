#include "console/policy_rules.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "tests/support/row_name.h"

namespace vesk::testing {
namespace {

// Well-formed blobs (an IV and one block) of tiers 1 and 2.
const std::string kTier1Blob = "v1:" + std::string(43, 'A') + "=";
const std::string kTier2Blob = "v2:" + std::string(43, 'B') + "=";

// A stand-in vault whose blobs show the value they hold, so each row can
// say exactly which text was vaulted.
PolicyCrypto fake_crypto() {
  return {.vault = [](const std::string& value) { return "<" + value + ">"; },
          .unwrap = [](const std::string& blob, int tier) -> std::optional<std::string> {
            if (tier == 1 && blob == kTier1Blob) return "plain-from-v1";
            if (tier == 2 && blob == kTier2Blob) return "plain-from-v2";
            return std::nullopt;
          }};
}

struct RewriteRow {
  const char* name;
  std::string input;
  std::string expected;  // equal to input: nothing is rebuilt
  int tier = 2;
  std::string key = "admin_pass";
  friend void PrintTo(const RewriteRow& row, std::ostream* out) { *out << row.name; }
};

class PolicyRewriteRules : public ::testing::TestWithParam<RewriteRow> {};

TEST_P(PolicyRewriteRules, RebuildsExactlyTheKeyLinesOfTheSection) {
  const RewriteRow& row = GetParam();
  const PolicyRewrite rewrite = apply_policy(row.input, {"PASSES", row.key}, row.tier, fake_crypto());
  EXPECT_EQ(rewrite.text, row.expected);
  EXPECT_EQ(rewrite.rebuilt_lines.empty(), row.input == row.expected);
  EXPECT_FALSE(rewrite.encryption_failed);
}

const std::string kHead = "[PASSES]\n";

INSTANTIATE_TEST_SUITE_P(
    Headers, PolicyRewriteRules,
    ::testing::Values(
        RewriteRow{"SpacesInsideBrackets", "[ PASSES ]\nadmin_pass = x\n",
                   "[ PASSES ]\nadmin_pass = \"<x>\"\n"},
        RewriteRow{"HeaderWithComment", "\t[PASSES] # main\nadmin_pass = x\n",
                   "\t[PASSES] # main\nadmin_pass = \"<x>\"\n"},
        RewriteRow{"BracketsInAValueAreNoHeader", kHead + "admin_pass = \"a[1]b\"\n",
                   kHead + "admin_pass = \"<a[1]b>\"\n"},
        RewriteRow{"ArrayKeepsTheSection", kHead + "hosts = [\"a\", \"b\"]\nadmin_pass = x\n",
                   kHead + "hosts = [\"a\", \"b\"]\nadmin_pass = \"<x>\"\n"},
        RewriteRow{"OtherSection", "[OTHER]\nadmin_pass = x\n", "[OTHER]\nadmin_pass = x\n"},
        RewriteRow{"AboveTheFirstHeader", "admin_pass = x\n[PASSES]\n", "admin_pass = x\n[PASSES]\n"},
        RewriteRow{"SectionMetTwice",
                   kHead + "admin_pass=a\n[X]\nadmin_pass=b\n[PASSES]\nadmin_pass=c\n",
                   kHead + "admin_pass = \"<a>\"\n[X]\nadmin_pass=b\n[PASSES]\nadmin_pass = \"<c>\"\n"},
        RewriteRow{"SectionNameIsExact", "[PASSES2]\nadmin_pass = x\n[passes]\nadmin_pass = y\n",
                   "[PASSES2]\nadmin_pass = x\n[passes]\nadmin_pass = y\n"}),
    RowName());

INSTANTIATE_TEST_SUITE_P(
    Keys, PolicyRewriteRules,
    ::testing::Values(
        RewriteRow{"LongerNamesAreOtherKeys", kHead + "admin_pass_old = x\nmy_admin_pass = y\n",
                   kHead + "admin_pass_old = x\nmy_admin_pass = y\n"},
        RewriteRow{"KeyTwice", kHead + "admin_pass = a\nadmin_pass = b\n",
                   kHead + "admin_pass = \"<a>\"\nadmin_pass = \"<b>\"\n"},
        RewriteRow{"CommentedOut", kHead + "# admin_pass = x\n#admin_pass=y\n",
                   kHead + "# admin_pass = x\n#admin_pass=y\n"},
        RewriteRow{"KeyOnlyAfterEquals", kHead + "other = admin_pass\n",
                   kHead + "other = admin_pass\n"},
        RewriteRow{"IndentationKept", kHead + "  \tadmin_pass=x\n",
                   kHead + "  \tadmin_pass = \"<x>\"\n"},
        RewriteRow{"BlanksAroundKey", kHead + "admin_pass \t= x\n", kHead + "admin_pass = \"<x>\"\n"},
        RewriteRow{"OtherTargetKey", kHead + "admin_pass = a\nsql_pass = b\n",
                   kHead + "admin_pass = a\nsql_pass = \"<b>\"\n", 2, "sql_pass"}),
    RowName());

INSTANTIATE_TEST_SUITE_P(
    Values, PolicyRewriteRules,
    ::testing::Values(
        RewriteRow{"UnquotedTrimmed", kHead + "admin_pass =   abc  \t\n",
                   kHead + "admin_pass = \"<abc>\"\n"},
        RewriteRow{"UnquotedKeepsItsComment", kHead + "admin_pass = abc   # note\n",
                   kHead + "admin_pass = \"<abc>\" # note\n"},
        RewriteRow{"QuoteInsideACommentIsNoValue", kHead + "admin_pass = abc # say \"hi\"\n",
                   kHead + "admin_pass = \"<abc>\" # say \"hi\"\n"},
        RewriteRow{"NothingAfterEquals", kHead + "admin_pass =\n", kHead + "admin_pass = \"<>\"\n"},
        RewriteRow{"EmptyQuotes", kHead + "admin_pass = \"\"\n", kHead + "admin_pass = \"<>\"\n"},
        RewriteRow{"UnclosedQuoteTakesTheRest", kHead + "admin_pass = \"abc # x \n",
                   kHead + "admin_pass = \"<abc # x >\"\n"},
        RewriteRow{"HashInsideQuotes", kHead + "admin_pass = \"p#ss\" # c\n",
                   kHead + "admin_pass = \"<p#ss>\" # c\n"},
        RewriteRow{"OneSpaceBeforeTheComment", kHead + "admin_pass = \"x\"  \t  # c\n",
                   kHead + "admin_pass = \"<x>\" # c\n"},
        RewriteRow{"QuotedValueNotTrimmed", kHead + "admin_pass = junk\" a b \" tail\n",
                   kHead + "admin_pass = \"< a b >\"\n"},
        RewriteRow{"SingleQuotesArePartOfTheValue", kHead + "admin_pass = 'x'\n",
                   kHead + "admin_pass = \"<'x'>\"\n"}),
    RowName());

INSTANTIATE_TEST_SUITE_P(
    LineEndings, PolicyRewriteRules,
    ::testing::Values(
        RewriteRow{"CrlfKeptOnEveryLine", "[PASSES]\r\nadmin_pass = \"x\" # c\r\nother = 1\r\n",
                   "[PASSES]\r\nadmin_pass = \"<x>\" # c\r\nother = 1\r\n"},
        RewriteRow{"CrlfUnquoted", "[PASSES]\r\nadmin_pass = x\r\n",
                   "[PASSES]\r\nadmin_pass = \"<x>\"\r\n"},
        RewriteRow{"CrlfNothingAfterEquals", "[PASSES]\r\nadmin_pass =  \r\n",
                   "[PASSES]\r\nadmin_pass = \"<>\"\r\n"},
        RewriteRow{"LastLineWithoutNewlineRebuilt", kHead + "admin_pass = x",
                   kHead + "admin_pass = \"<x>\"\n"},
        RewriteRow{"LastLineWithoutNewlineKept", kHead + "admin_pass = x\nlast = 1",
                   kHead + "admin_pass = \"<x>\"\nlast = 1\n"},
        RewriteRow{"UntouchedLinesByteForByte",
                   "  # top \t\n\n[PASSES]\nx=\"a\"  # b\r\n\tadmin_pass = 1\n\xff\x01\n",
                   "  # top \t\n\n[PASSES]\nx=\"a\"  # b\r\n\tadmin_pass = \"<1>\"\n\xff\x01\n"}),
    RowName());

INSTANTIATE_TEST_SUITE_P(
    Tiers, PolicyRewriteRules,
    ::testing::Values(
        RewriteRow{"BlobOfTheTierKept", kHead + "admin_pass = \"" + kTier2Blob + "\"\n",
                   kHead + "admin_pass = \"" + kTier2Blob + "\"\n"},
        RewriteRow{"TagInAPlainPasswordIsNoBlob", kHead + "admin_pass = Dev2024!v2:\n",
                   kHead + "admin_pass = \"<Dev2024!v2:>\"\n"},
        RewriteRow{"BlobTooShortIsNoBlob", kHead + "admin_pass = v2:AAAA\n",
                   kHead + "admin_pass = \"<v2:AAAA>\"\n"},
        RewriteRow{"Tier1BlobMovesToTier2", kHead + "admin_pass = \"" + kTier1Blob + "\"\n",
                   kHead + "admin_pass = \"<plain-from-v1>\"\n"},
        RewriteRow{"Tier2BlobMovesToTier1", kHead + "admin_pass = \"" + kTier2Blob + "\"\n",
                   kHead + "admin_pass = \"<plain-from-v2>\"\n", 1},
        RewriteRow{"UndecryptableBlobVaultedAsText",
                   kHead + "admin_pass = \"v1:" + std::string(44, 'C') + "\"\n",
                   kHead + "admin_pass = \"<v1:" + std::string(44, 'C') + ">\"\n"}),
    RowName());

TEST(PolicyRewrite, FailedEncryptionKeepsTheOldText) {
  PolicyCrypto failing = fake_crypto();
  int calls = 0;
  failing.vault = [&calls](const std::string& value) -> std::string {
    if (++calls == 2) throw std::runtime_error("no entropy");
    return value;
  };
  const std::string text = kHead + "admin_pass = a\nadmin_pass = b\nadmin_pass = c\n";
  const PolicyRewrite rewrite = apply_policy(text, {"PASSES", "admin_pass"}, 2, failing);
  EXPECT_TRUE(rewrite.encryption_failed);
  EXPECT_EQ(rewrite.text, text);
  EXPECT_EQ(rewrite.rebuilt_lines.size(), 1u);
  EXPECT_EQ(calls, 2);
}

struct BlobShapeRow {
  const char* name;
  std::string value;
  bool is_tier2_blob;
  friend void PrintTo(const BlobShapeRow& row, std::ostream* out) { *out << row.name; }
};

class BlobShape : public ::testing::TestWithParam<BlobShapeRow> {};

TEST_P(BlobShape, RecognisesOnlyWellFormedBlobs) {
  EXPECT_EQ(is_blob_of_tier(GetParam().value, 2), GetParam().is_tier2_blob);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BlobShape,
    ::testing::Values(BlobShapeRow{"OneBlock", kTier2Blob, true},
                      BlobShapeRow{"TwoBlocks", "v2:" + std::string(64, 'a'), true},
                      BlobShapeRow{"ThreeBlocks", "v2:" + std::string(86, '-') + "==", true},
                      BlobShapeRow{"OtherTier", kTier1Blob, false},
                      BlobShapeRow{"IvOnly", "v2:" + std::string(22, 'A') + "==", false},
                      BlobShapeRow{"NotWholeBlocks", "v2:" + std::string(48, 'A'), false},
                      BlobShapeRow{"StandardAlphabet", "v2:+" + std::string(42, 'A') + "=", false},
                      BlobShapeRow{"PaddingInside", "v2:A=" + std::string(42, 'A'), false},
                      BlobShapeRow{"ThreePaddings", "v2:" + std::string(41, 'A') + "===", false},
                      BlobShapeRow{"TrailingBlank", kTier2Blob + " ", false},
                      BlobShapeRow{"PrefixOnly", "v2:", false}),
    RowName());

}  // namespace
}  // namespace vesk::testing
