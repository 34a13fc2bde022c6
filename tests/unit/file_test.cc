// The file layer on a temp folder: what a replacement follows, and which
// leftovers of killed runs it removes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/config_file.h"
#include "config/replacement_file.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

struct TempFolder {
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "vesk-file.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no temp folder");
    path = pattern;
  }
  ~TempFolder() { fs::remove_all(path); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  fs::path path;
};

std::string read(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

TEST(ReplaceFile, ReplacesALinkAtItsNameNeverItsTarget) {
  const TempFolder folder;
  std::ofstream(folder.path / "other") << "keep";
  fs::create_symlink(folder.path / "other", folder.path / "vesk.prom");
  ASSERT_TRUE(replace_file(folder.path / "vesk.prom", "report", 0644));
  EXPECT_EQ(read(folder.path / "other"), "keep");
  EXPECT_EQ(fs::symlink_status(folder.path / "vesk.prom").type(), fs::file_type::regular);
  EXPECT_EQ(read(folder.path / "vesk.prom"), "report");
  // Nor is a link at the folder followed.
  fs::create_directory_symlink(folder.path, folder.path / "link");
  EXPECT_FALSE(replace_file(folder.path / "link/vesk.prom", "report", 0644));
}

// Only regular files of the exact pattern that no live run holds go.
TEST(ReplaceFile, RemovesTheLeftoversOfKilledRuns) {
  const TempFolder folder;
  const struct {
    std::string name;
    bool removed;
  } rows[] = {
      {".installation.toml.AbC123", true},   {".installation.toml.AbC12", false},
      {".installation.toml.AbC1234", false}, {"installation.toml.AbC123", false},
      {".installation.toml.Ab-123", false},  {".other.toml.AbC123", false},
      {".installation.toml.Held12", false},
  };
  for (const auto& row : rows) std::ofstream(folder.path / row.name) << "password";
  fs::create_directory(folder.path / ".installation.toml.Dir123");
  std::ofstream(folder.path / "installation.toml") << "old";
  const UniqueFd held(open((folder.path / ".installation.toml.Held12").c_str(), O_RDONLY));
  ASSERT_EQ(flock(held.get(), LOCK_EX), 0);
  ASSERT_EQ(replace_config_file(folder.path / "installation.toml", "new"), WriteOutcome::kWritten);
  for (const auto& row : rows)
    EXPECT_EQ(fs::exists(folder.path / row.name), !row.removed) << row.name;
  EXPECT_TRUE(fs::is_directory(folder.path / ".installation.toml.Dir123"));
  EXPECT_EQ(read(folder.path / "installation.toml"), "new");
}

// A status that cannot be read is no "new file"; a missing file is.
TEST(ReplaceConfigFile, OnlyAMissingFileIsNew) {
  const TempFolder folder;
  const auto copy = [](const std::string& temp_path) {
    std::ofstream(temp_path) << "copy";
    return true;
  };
  EXPECT_TRUE(replace_config_file_with(folder.path / "new.toml", copy, 0640));
  EXPECT_EQ(fs::status(folder.path / "new.toml").permissions(), fs::perms(0640));
  // A link that loops cannot be read (ELOOP): it is no missing file.
  fs::create_symlink("loop.toml", folder.path / "loop.toml");
  EXPECT_FALSE(replace_config_file_with(folder.path / "loop.toml", copy, 0640));
  EXPECT_TRUE(fs::is_symlink(folder.path / "loop.toml"));
}

}  // namespace
}  // namespace vesk
