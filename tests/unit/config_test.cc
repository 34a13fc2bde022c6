// The configuration: its line rules, on strings, and its file layer, on a
// temp folder (what a read refuses, what a replacement follows and keeps,
// which leftovers of killed runs go). In the rewrite, the vault is a
// stand-in that writes B(value), so every expected file can be read at a
// glance; blobs met in the input are real, well-formed ones.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <stdexcept>

#include "config/config_file.h"
#include "config/policy_rules.h"
#include "config/temporary_entry.h"
#include "fake_machine.h"
#include "security/file_io.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

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

// A FIFO is never waited on; a sparse terabyte is never read; the limit is
// "more than".
TEST(ReadConfigFile, OnlyRegularFilesWithinTheLimit) {
  const TempFolder folder;
  fs::create_directory(folder.path / "folder");
  ASSERT_EQ(mkfifo((folder.path / "fifo").c_str(), 0600), 0);
  folder.write("huge", "");
  fs::resize_file(folder.path / "huge", std::uintmax_t{1} << 40);
  folder.write("16", std::string(16, 'x'));
  folder.write("17", std::string(17, 'x'));
  const struct {
    const char* name;
    std::size_t limit;
    std::string expected;  // the message, or "" for a read
  } rows[] = {{"folder", kMaxConfigBytes, "Could not open folder"},
              {"fifo", kMaxConfigBytes, "Could not open fifo"},
              {"missing", kMaxConfigBytes, "Could not open missing"},
              {"huge", kMaxConfigBytes, "huge is larger than 16 MiB"},
              {"16", 16, ""},
              {"17", 16, "17 is larger than 16 bytes"}};
  for (const auto& row : rows) {
    const ConfigRead read = read_config_file(folder.path / row.name, row.limit);
    EXPECT_EQ(read ? "" : read_error_message(row.name, read.error(), row.limit), row.expected);
    EXPECT_EQ(!read && read.error() == ConfigReadError::kMissing,
              row.name == std::string("missing"));
  }
}

// The report replaces a link planted at its name; the configuration's
// writer rewrites the target of its link, and the link stays one.
TEST(ReplaceFile, ReplacesALinkAtItsNameTheConfigurationItsTarget) {
  const TempFolder folder;
  folder.write("other", "keep");
  fs::create_symlink(folder.path / "other", folder.path / "vesk.prom");
  ASSERT_EQ(replace_file(folder.path / "vesk.prom", "report", 0644), std::error_code());
  EXPECT_EQ(folder.read("other"), "keep");
  EXPECT_EQ(fs::symlink_status(folder.path / "vesk.prom").type(), fs::file_type::regular);
  EXPECT_EQ(folder.read("vesk.prom"), "report");
  fs::create_symlink(folder.path / "other", folder.path / "installation.toml");
  ASSERT_EQ(replace_config_file(folder.path / "installation.toml", "new"), WriteOutcome::kWritten);
  EXPECT_EQ(folder.read("other"), "new");
  EXPECT_TRUE(fs::is_symlink(folder.path / "installation.toml"));
  // The owner and the group are kept, each on its own (root may give files away).
  for (const std::pair<uid_t, gid_t>& owner : {std::pair<uid_t, gid_t>{0, 1000}, {1000, 0}}) {
    if (geteuid() != 0) break;
    ASSERT_EQ(chown((folder.path / "other").c_str(), owner.first, owner.second), 0);
    ASSERT_EQ(replace_config_file(folder.path / "installation.toml", "x"), WriteOutcome::kWritten);
    struct stat kept {};
    ASSERT_EQ(stat((folder.path / "other").c_str(), &kept), 0);
    EXPECT_EQ(std::pair(kept.st_uid, kept.st_gid), owner);
  }
  // Nor is a link at the folder followed.
  fs::create_directory_symlink(folder.path, folder.path / "link");
  EXPECT_EQ(replace_file(folder.path / "link/vesk.prom", "report", 0644),
            std::errc::not_a_directory);
  // A failure is told by its own reason, not by a stale errno.
  const FailingRandom no_random;
  EXPECT_EQ(replace_file(folder.path / "vesk.prom", "report", 0644), FileError::kNoRandomName);
}

// Of the entries of the exact pattern, only those of the kind, of this
// user's own and held by no live run go, each through the folder: a link
// is never followed, another user's entry stays.
TEST(TemporaryEntry, RemovesOnlyTheLeftoversOfItsOwnKilledRuns) {
  const TempFolder folder;
  const bool root = geteuid() == 0;  // only root can give a file away
  const struct {
    std::string name;
    bool folder, removed;
  } rows[] = {
      {".installation.toml.AbC123", false, true},   {".installation.toml.AbC12", false, false},
      {".installation.toml.AbC1234", false, false}, {"installation.toml.AbC123", false, false},
      {".installation.toml.Ab-123", false, false},  {".other.toml.AbC123", false, false},
      {".installation.toml.Held12", false, false},  {".installation.toml.Dir123", true, false},
      {".installation.toml.Usr123", false, false},  {"vesk-update.AbC123", true, true},
      {"vesk-update.Usr123", true, false},          {"vesk-update.File12", false, false}};
  for (const auto& row : rows) {
    if (row.folder) fs::create_directories(folder.path / row.name / "inner");
    folder.write(row.folder ? row.name + "/inner/package" : row.name, "password");
    if (row.name.ends_with("Usr123") && root) {
      ASSERT_EQ(lchown((folder.path / row.name).c_str(), 1000, 1000), 0);
    }
  }
  folder.write("elsewhere/package", "keep");
  fs::create_directory_symlink(folder.path / "elsewhere", folder.path / "vesk-update.Lnk123");
  fs::create_symlink(folder.path / "elsewhere/package", folder.path / ".installation.toml.Lnk123");
  const UniqueFd held(open((folder.path / ".installation.toml.Held12").c_str(), O_RDONLY));
  ASSERT_EQ(flock(held.get(), LOCK_EX), 0);

  const Expected<Folder, std::error_code> opened = open_folder(folder.path, false);
  ASSERT_TRUE(opened);
  for (const auto& [prefix, kind] :
       {std::pair{".installation.toml.", EntryKind::kFile}, {"vesk-update.", EntryKind::kFolder}}) {
    const Expected<TemporaryEntry, std::error_code> made =
        TemporaryEntry::make(*opened, prefix, kind);
    ASSERT_TRUE(made);
    EXPECT_EQ(fs::status(made->path()).permissions(),
              kind == EntryKind::kFile ? fs::perms(0600) : fs::perms(0700));
  }
  for (const auto& row : rows) {
    if (root || !row.name.ends_with("Usr123")) {
      EXPECT_EQ(fs::exists(folder.path / row.name), !row.removed) << row.name;
    }
  }
  EXPECT_EQ(folder.read("elsewhere/package"), "keep");
  EXPECT_TRUE(fs::is_symlink(folder.path / "vesk-update.Lnk123"));
  EXPECT_TRUE(fs::is_symlink(folder.path / ".installation.toml.Lnk123"));
}

}  // namespace
}  // namespace vesk
