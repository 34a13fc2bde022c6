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

#include "config/policy_rules.h"
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
      {"quoted", "key = \"pw\"\n", "key = \"B(pw)\"\n"},
      {"bare", "  key=pw \t # note\nx = 1", "  key = \"B(pw)\" # note\nx = 1\n"},
      {"one quote runs to the end", "key = \"pw # x \n", "key = \"B(pw # x )\"\n"},
      {"# quoted", "key = x\"a#b\"  y # c\n", "key = \"B(a#b)\" # c\n"},
      {"quote in a comment", "key = abc # \"hi\"\n", "key = \"B(abc)\" # \"hi\"\n"},
      {"empty", "key =\nkey = \"\"\n", "key = \"B()\"\nkey = \"B()\"\n"},
      {"other keys, sections and comments",
       "key_old = a\nmy_key = b\n# key = c\n"
       "[PASSES.x]\nkey = d\n[OTHER]\nkey = e\n",
       ""},
      {"headers with blanks and comments; brackets in values",
       "[X]\n[ PASSES ] # main\nhosts = [\"a\"]\nkey = \"a[1]b\"\n",
       "[X]\n[ PASSES ] # main\nhosts = [\"a\"]\nkey = \"B(a[1]b)\"\n"},
      {"every occurrence in every section", "key = a\n[X]\n[PASSES]\nkey = b\nkey = c\n",
       "key = \"B(a)\"\n[X]\n[PASSES]\nkey = \"B(b)\"\nkey = \"B(c)\"\n"},
      {"CRLF kept, CR never in a value", "key = pw \r\nkey = \r\nx = 1\r\n",
       "key = \"B(pw)\"\r\nkey = \"B()\"\r\nx = 1\r\n"},
      {"a blob of the tier stays", "key = \"" + kTier2Blob + "\"\n", "", 2},
      {"tag, no blob", "key = v2:Dev2024!\n", "key = \"B(v2:Dev2024!)\"\n", 2},
      {"other tier's blob", "key = " + kTier1Blob, "key = \"B(pw)\"\n", 2, "pw"},
      {"garbage from a wrong key keeps the blob", "key = " + kTier1Blob,
       "key = \"B(" + kTier1Blob + ")\"\n", 2, "\xff\xfe"},
      {"a blob that does not open", "key = " + kTier1Blob, "key = \"B(" + kTier1Blob + ")\"\n", 2},
      {"encryption fails", "key = a\nkey = boom\n", ""}};
  for (const auto& row : rows) {
    const std::string before = "[PASSES]\n" + row.before;
    const std::string after =
        row.after.empty() ? before : "[PASSES]\n" + row.after;  // "": unchanged
    const PolicyRewrite rewrite =
        apply_policy(before, {"PASSES", "key"}, row.tier, stand_in_crypto(row.tier1_plain));
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

// Only a regular file is read (a FIFO is never waited on); a sparse
// terabyte is never read; the limit is "more than".
TEST(ReadConfigFile, OnlyRegularFilesWithinTheLimit) {
  const TempFolder folder;
  ASSERT_EQ(mkfifo((folder.path / "fifo").c_str(), 0600), 0);
  folder.write("huge", "");
  fs::resize_file(folder.path / "huge", std::uintmax_t{1} << 40);
  folder.write("16", std::string(16, 'x'));
  folder.write("17", std::string(17, 'x'));
  const struct {
    const char* name;
    std::size_t limit;
    std::string expected;  // the message, or "" for a read
  } rows[] = {{"fifo", kMaxConfigBytes, "Could not open fifo"},
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
// is never followed, another user's entry stays. ("/": a folder, holding a
// file; "+": it goes; "@": a link to a folder elsewhere.)
TEST(TemporaryEntry, RemovesOnlyTheLeftoversOfItsOwnKilledRuns) {
  const TempFolder folder;
  const bool root = geteuid() == 0;  // only root can give a file away
  const std::vector<std::string> entries = {
      "+.installation.toml.AbC123", ".installation.toml.AbC12",   ".installation.toml.AbC1234",
      "installation.toml.AbC123",   ".installation.toml.Ab-123",  ".other.toml.AbC123",
      ".installation.toml.Held12",  "/.installation.toml.Dir123", ".installation.toml.Usr123",
      "+/vesk-update.AbC123",       "/vesk-update.Usr123",        "vesk-update.File12",
      "@vesk-update.Lnk123",        "@.installation.toml.Lnk123"};
  folder.write("elsewhere/package", "keep");
  for (std::string entry : entries) {
    const std::string name = entry.substr(entry.find_first_not_of("+/@"));
    if (entry.find('@') != std::string::npos) {
      fs::create_symlink(folder.path / "elsewhere", folder.path / name);
    } else if (entry.find('/') != std::string::npos) {
      folder.write(name + "/inner/package", "password");
    } else {
      folder.write(name, "password");
    }
    if (name.ends_with("Usr123") && root) {
      ASSERT_EQ(chown((folder.path / name).c_str(), 1000, 0), 0);
    }
  }
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
              fs::perms(kind == EntryKind::kFile ? 0600 : 0700));
  }
  for (const std::string& entry : entries) {
    const std::string name = entry.substr(entry.find_first_not_of("+/@"));
    if (root || !name.ends_with("Usr123")) {
      EXPECT_EQ(fs::exists(fs::symlink_status(folder.path / name)), entry[0] != '+') << name;
    }
  }
  EXPECT_EQ(folder.read("elsewhere/package"), "keep");
}

}  // namespace
}  // namespace vesk
