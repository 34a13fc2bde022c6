// keywarden on a device whose configuration cannot be written the usual
// way: nothing is lost, and what failed is reported.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <chrono>
#include <random>
#include <regex>
#include <thread>

#include "console/globals.h"
#include "tests/support/ci.h"
#include "tests/support/shell.h"
#include "tests/system/simulated_device.h"

namespace vesk::testing {
namespace {

namespace fs = std::filesystem;

const std::string kConfig =
    "[PASSES]\nadmin_pass = \"Adm1n!\"\nfrp_pass = frp\nsmtp_pass1 = \"m1\"\nsmtp_pass2 = m2\n"
    "sql_pass = \"sql\"\n";
const std::string kIncomplete = RED + "[-] Error: Security Policy Incomplete." + RESET + "\n";

std::string write_errors(const std::string& path) {
  std::string errors;
  for (int i = 0; i < 5; ++i) errors += RED + "[-] Error: Could not write " + path + RESET + "\n";
  return errors;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SimulatedDevice::available()) VESK_SKIP_UNLESS_CI("cannot make a private mount namespace (needs root)");
    device = std::make_unique<SimulatedDevice>();
    device->plug_usb("4C530001");
  }

  // A fresh small tmpfs inside the namespace, for file systems that fill
  // up or turn read-only.
  fs::path small_file_system(const std::string& name, const std::string& size) {
    const fs::path dir = device->temp_dir() / name;
    fs::create_directories(dir);
    EXPECT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()), 0);
    mounted.push_back(dir);
    return dir;
  }

  void TearDown() override {
    for (const fs::path& dir : mounted) umount2(dir.c_str(), MNT_DETACH);
  }

  std::unique_ptr<SimulatedDevice> device;
  std::vector<fs::path> mounted;
};

TEST_F(Faults, FullFileSystemKeepsTheOldFile) {
  const fs::path dir = small_file_system("full", "32k");
  const std::string config = kConfig + "# " + std::string(12 * 1024, 'x') + "\n";
  write_file(dir / "installation.toml", config);
  // Leave less room than a second copy needs.
  write_file(dir / "filler", std::string(16 * 1024, 'f'));
  const ProgramResult result = device->run_keywarden("2\nq\n", dir);
  EXPECT_EQ(result.err, write_errors("installation.toml"));
  EXPECT_NE(result.out.find(kIncomplete), std::string::npos);
  EXPECT_EQ(read_file(dir / "installation.toml"), config);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2);
}

TEST_F(Faults, ReadOnlyFileSystemKeepsTheOldFile) {
  const fs::path dir = small_file_system("readonly", "1m");
  write_file(dir / "installation.toml", kConfig);
  ASSERT_EQ(mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
  // Not writable counts as sealed: authentication first, then the write fails.
  const ProgramResult result = device->run_keywarden("2\n1234\nq\n", dir);
  EXPECT_EQ(result.err.substr(result.err.find(RED)), write_errors("installation.toml"));
  EXPECT_NE(result.out.find(kIncomplete), std::string::npos);
  EXPECT_EQ(read_file(dir / "installation.toml"), kConfig);
}

TEST_F(Faults, ImmutableProductionFileIsReportedAndKept) {
  // The unlock acts on the names in the working directory, so the file under
  // /opt stays immutable and cannot be replaced.
  write_file("/opt/vesk/installation.toml", kConfig);
  ASSERT_TRUE(run_shell("chattr +i /opt/vesk/installation.toml").exit_status == 0);
  const ScopedTempDir elsewhere;
  const ProgramResult result = device->run_keywarden("2\n1234\nq\n", elsewhere.path());
  EXPECT_NE(result.err.find(write_errors("/opt/vesk/installation.toml")), std::string::npos);
  EXPECT_NE(result.out.find(kIncomplete), std::string::npos);
  EXPECT_EQ(read_file("/opt/vesk/installation.toml"), kConfig);
  run_shell("chattr -i /opt/vesk/installation.toml");
}

TEST_F(Faults, UnwritableDirectoryIsRewrittenInPlace) {
  const fs::path config = device->install_file("installation.toml");
  write_file(config, kConfig);
  ASSERT_EQ(run_shell("chattr +i '" + device->install_dir().string() + "'").exit_status, 0);
  const ProgramResult result = device->run_keywarden("2\nq\n");
  run_shell("chattr -i '" + device->install_dir().string() + "'");
  EXPECT_EQ(result.err, "");
  EXPECT_NE(result.out.find(GREEN + "[+] Data Hardened."), std::string::npos);
  const std::string vaulted = read_file(config);
  EXPECT_EQ(std::count(vaulted.begin(), vaulted.end(), '"'), 10);
  EXPECT_EQ(vaulted.find("Adm1n!"), std::string::npos);
}

TEST_F(Faults, SymlinkedConfigurationStaysALink) {
  write_file("/opt/real/installation.toml", kConfig);
  const fs::path config = device->install_file("installation.toml");
  fs::remove(config);
  fs::create_symlink("/opt/real/installation.toml", config);
  const ProgramResult result = device->run_keywarden("2\nq\n");
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(fs::is_symlink(config));
  EXPECT_TRUE(read_file("/opt/real/installation.toml").starts_with("[PASSES]\nadmin_pass = \"v2:"));
}

// Killed at random moments while it vaults a large file, the console leaves
// a file that is some whole state of the stage: every target either done
// in every line or in none, done in order, all other lines untouched.
TEST_F(Faults, KilledWhileRewritingLeavesAWholeFile) {
  const std::vector<std::string> keys = {"admin_pass", "frp_pass", "smtp_pass1", "smtp_pass2",
                                         "sql_pass"};
  std::string original;
  for (int section = 0; original.size() < 2 * 1024 * 1024; ++section) {
    original += "[PASSES]\n# block " + std::to_string(section) + "\n";
    for (const std::string& key : keys) original += key + " = \"pw." + std::to_string(section) + "\"\n";
    original += "note = \"" + std::string(80, 'n') + "\"\n";
  }
  const fs::path config = device->install_file("installation.toml");

  // How long a whole stage takes here, to spread the kills over it.
  write_file(config, original);
  const auto started = std::chrono::steady_clock::now();
  const pid_t whole = device->start_keywarden("2\nq\n", device->install_dir());
  waitpid(whole, nullptr, 0);
  const auto duration = std::chrono::steady_clock::now() - started;
  const std::string finished = read_file(config);
  ASSERT_EQ(finished.find("pw."), std::string::npos);  // "." is no Base64 digit

  std::mt19937 random(20261206);
  std::uniform_int_distribution<long> moment(
      0, std::chrono::duration_cast<std::chrono::microseconds>(duration).count());
  const std::regex vaulted_line("(admin_pass|frp_pass|smtp_pass1|smtp_pass2|sql_pass) = \"v2:[A-Za-z0-9_-]+=*\"");
  std::size_t partial_states = 0;
  std::size_t orphans = 0;
  constexpr int kKills = 24;
  for (int kill_number = 0; kill_number < kKills; ++kill_number) {
    write_file(config, original);
    const pid_t console = device->start_keywarden("2\nq\n", device->install_dir());
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    kill(console, SIGKILL);
    waitpid(console, nullptr, 0);

    const std::string after = read_file(config);
    std::istringstream old_lines(original);
    std::istringstream new_lines(after);
    std::vector<bool> key_done(keys.size(), false);
    std::vector<bool> key_pending(keys.size(), false);
    std::size_t line_count = 0;
    for (std::string old_line, new_line; std::getline(old_lines, old_line);) {
      ASSERT_TRUE(std::getline(new_lines, new_line)) << "truncated at line " << line_count;
      ++line_count;
      if (new_line == old_line) {
        for (std::size_t k = 0; k < keys.size(); ++k) {
          if (old_line.starts_with(keys[k] + " = ")) key_pending[k] = true;
        }
        continue;
      }
      ASSERT_TRUE(std::regex_match(new_line, vaulted_line)) << "mixed line: " << new_line;
      for (std::size_t k = 0; k < keys.size(); ++k) {
        if (new_line.starts_with(keys[k] + " = ")) key_done[k] = true;
      }
    }
    std::string rest;
    EXPECT_FALSE(std::getline(new_lines, rest)) << "extra text after the last line";
    for (std::size_t k = 0; k < keys.size(); ++k) {
      EXPECT_FALSE(key_done[k] && key_pending[k]) << keys[k] << " half vaulted";
      if (k > 0 && key_done[k]) {
        EXPECT_TRUE(key_done[k - 1]) << keys[k] << " before " << keys[k - 1];
      }
    }
    if (after != original && after.size() != finished.size()) ++partial_states;
    // A kill between creating the temporary file and renaming it leaves
    // that file behind; the configuration itself is whole either way.
    for (const auto& entry : fs::directory_iterator(device->install_dir())) {
      if (entry.path().filename().string().starts_with(".installation.toml.")) {
        ++orphans;
        fs::remove(entry.path());
      }
    }
  }
  std::cout << "[ figures  ] " << kKills << " kills over a " << original.size() / 1024
            << " KiB file; " << partial_states << " stopped between targets, " << orphans
            << " left a temporary file\n";
}

}  // namespace
}  // namespace vesk::testing
