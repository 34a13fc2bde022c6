#include "console/config_file.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/ci.h"
#include "tests/support/immutable_guard.h"
#include "tests/support/temp_dir.h"

namespace vesk::testing {
namespace {

namespace fs = std::filesystem;

struct stat status_of(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
  return status;
}

std::size_t entries_in(const fs::path& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), {}));
}

TEST(ConfigFile, ReplacementKeepsModeAndLeavesNoTemporaryFile) {
  ScopedTempDir dir;
  const std::string path = dir.file("installation.toml");
  write_file(path, "old\n");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  const ino_t old_inode = status_of(path).st_ino;

  ASSERT_TRUE(replace_config_file(path, "new content\n"));
  EXPECT_EQ(read_file(path), "new content\n");
  EXPECT_EQ(status_of(path).st_mode & 07777, 0640u);
  EXPECT_NE(status_of(path).st_ino, old_inode);  // replaced, not rewritten
  EXPECT_EQ(entries_in(dir.path()), 1u);
  EXPECT_EQ(read_config_file(path), "new content\n");
  EXPECT_EQ(read_config_file(dir.file("absent")), std::nullopt);
}

TEST(ConfigFile, SymlinkStaysALinkAndItsTargetIsReplaced) {
  ScopedTempDir dir;
  const std::string target = dir.file("real/installation.toml");
  write_file(target, "old\n");
  const std::string link = dir.file("installation.toml");
  fs::create_symlink(target, link);

  ASSERT_TRUE(replace_config_file(link, "new\n"));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(read_file(target), "new\n");
  EXPECT_EQ(entries_in(dir.path() / "real"), 1u);
}

TEST(ConfigFile, ImmutableFileIsReportedAndKept) {
  ScopedTempDir dir;
  const std::string path = dir.file("installation.toml");
  write_file(path, "old\n");
  const ImmutableGuard immutable(path);
  if (!immutable.active()) VESK_SKIP_UNLESS_CI("this file system has no immutable attribute");
  EXPECT_FALSE(replace_config_file(path, "new\n"));
  EXPECT_EQ(read_file(path), "old\n");
  EXPECT_EQ(entries_in(dir.path()), 1u);
}

TEST(ConfigFile, UnwritableDirectoryFallsBackToAnInPlaceRewrite) {
  ScopedTempDir dir;
  const std::string path = dir.file("conf/installation.toml");
  write_file(path, "a much longer old content than the new one\n");
  const ino_t old_inode = status_of(path).st_ino;
  const ImmutableGuard immutable(dir.file("conf"));
  if (!immutable.active()) VESK_SKIP_UNLESS_CI("this file system has no immutable attribute");
  ASSERT_TRUE(replace_config_file(path, "short\n"));
  EXPECT_EQ(read_file(path), "short\n");
  EXPECT_EQ(status_of(path).st_ino, old_inode);
}

// A full file system: the new content does not fit, and the old must stay.
TEST(ConfigFile, FullFileSystemLeavesTheOldContent) {
  ScopedTempDir dir;
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    // In a private mount namespace, so the tiny tmpfs is seen by nobody else.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=64k") != 0) {
      _exit(77);
    }
    const std::string path = dir.file("installation.toml");
    write_file(path, std::string(40 * 1024, 'o'));
    const bool replaced = replace_config_file(path, std::string(40 * 1024, 'n'));
    const bool intact = read_file(path) == std::string(40 * 1024, 'o');
    _exit(!replaced && intact && entries_in(dir.path()) == 1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) VESK_SKIP_UNLESS_CI("no private mount namespace here (needs root)");
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace vesk::testing
