// The file layer on a temp folder: what a read refuses, what a replacement
// follows, and which leftovers of killed runs it removes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <filesystem>

#include "config/config_file.h"
#include "config/replacement_file.h"
#include "fake_machine.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

// A FIFO is never waited on; a sparse terabyte is never read.
TEST(ReadConfigFile, OnlyRegularFilesWithinTheLimit) {
  const TempFolder folder;
  fs::create_directory(folder.path / "folder");
  ASSERT_EQ(mkfifo((folder.path / "fifo").c_str(), 0600), 0);
  folder.write("huge", "");
  fs::resize_file(folder.path / "huge", std::uintmax_t{1} << 40);
  for (const char* name : {"folder", "fifo", "huge"}) {
    const ConfigRead read = read_config_file(folder.path / name);
    ASSERT_FALSE(read) << name;
    EXPECT_EQ(read_error_message(name, read.error()), name == std::string("huge")
                                                          ? "huge is larger than 16 MiB"
                                                          : "Could not open " + std::string(name));
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
  // Nor is a link at the folder followed.
  fs::create_directory_symlink(folder.path, folder.path / "link");
  EXPECT_EQ(replace_file(folder.path / "link/vesk.prom", "report", 0644),
            std::errc::not_a_directory);
}

// Only regular files of the exact pattern that no live run holds go.
TEST(ReplaceFile, RemovesTheLeftoversOfKilledRuns) {
  const TempFolder folder;
  const std::pair<std::string, bool> rows[] = {
      // name, removed
      {".installation.toml.AbC123", true},   {".installation.toml.AbC12", false},
      {".installation.toml.AbC1234", false}, {"installation.toml.AbC123", false},
      {".installation.toml.Ab-123", false},  {".other.toml.AbC123", false},
      {".installation.toml.Held12", false}};
  for (const auto& [name, removed] : rows) folder.write(name, "password");
  fs::create_directory(folder.path / ".installation.toml.Dir123");
  folder.write("installation.toml", "old");
  const UniqueFd held(open((folder.path / ".installation.toml.Held12").c_str(), O_RDONLY));
  ASSERT_EQ(flock(held.get(), LOCK_EX), 0);
  ASSERT_EQ(replace_config_file(folder.path / "installation.toml", "new"), WriteOutcome::kWritten);
  for (const auto& [name, removed] : rows)
    EXPECT_EQ(fs::exists(folder.path / name), !removed) << name;
  EXPECT_TRUE(fs::is_directory(folder.path / ".installation.toml.Dir123"));
  EXPECT_EQ(folder.read("installation.toml"), "new");
}

}  // namespace
}  // namespace vesk
