// The console's operations on a configuration in a temp folder, with the
// outside commands recorded instead of run, and the statuses of the
// commands it runs. The dialogues are tested whole on the real program
// (tests/system).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "console/admin_tool.h"
#include "console/globals.h"
#include "security/base_key.h"
#include "security/unique_fd.h"

namespace vesk {
namespace {

struct ThrowingRunner : CommandRunner {
  int run(const CommandLine& /*command*/, CommandOutput /*output*/) override {
    throw std::runtime_error("no editor here");
  }
};

struct RecordingRunner : CommandRunner {
  int run(const CommandLine& command, CommandOutput /*output*/) override {
    commands.push_back(command);
    if (on_run) on_run(command);
    return 0;
  }
  std::vector<CommandLine> commands;
  std::function<void(const CommandLine&)> on_run;
};

// Sets or clears the immutable attribute of `path`.
bool set_immutable(const std::filesystem::path& path, bool immutable) {
  const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  int flags = 0;
  if (!file.valid() || ioctl(file.get(), FS_IOC_GETFLAGS, &flags) != 0) return false;
  flags = immutable ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
  return ioctl(file.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

// An open installation in a fresh folder, and a device whose cpuinfo is at
// `cpuinfo` inside it.
struct Installation {
  explicit Installation(const std::string& config) { write("installation.toml", config); }
  ~Installation() { std::filesystem::remove_all(dir); }
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  void write(const std::string& name, const std::string& text) const {
    std::ofstream(dir / name) << text;
  }
  std::string read(const std::string& name = "installation.toml") const {
    std::ostringstream text;
    text << std::ifstream(dir / name).rdbuf();
    return text.str();
  }
  // Runs the console on `input`; returns what it wrote to both streams.
  std::pair<std::string, std::string> console(const std::string& input,
                                              const std::string& cpuinfo = "cpuinfo") {
    const SecurityService security(kShadowKeysPath, base_key_bytes(),
                                   HardwarePaths{dir / cpuinfo, dir.string() + "/"});
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    AdminTool(security, dir / "installation.toml", ConsoleIo{in, out, err},
              ConsoleSystem{.commands = runner})
        .run();
    return {out.str(), err.str()};
  }

  const std::filesystem::path dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "vesk-console.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no temp folder");
    return pattern;
  }();
  RecordingRunner runner;
};

const std::string kConfig = "[PASSES]\nadmin_pass = alpha\n";
const std::string kHardened = GREEN + "[+] Data Hardened." + RESET;
const std::string kIncomplete = RED + "[-] Error: Security Policy Incomplete." + RESET;

// A key is never bound to a CPU serial that was not read: with a cpuinfo
// that cannot be opened or read, tier 2 fails the key and leaves the file.
TEST(Console, StagesOnlyBindToACpuinfoReadWhole) {
  // A tier-2 blob of this device's key for "db-pass/16bytes!", which stage 1
  // must open rather than vault as text.
  const std::string tier2 =
      "[PASSES]\nadmin_pass = "
      "v2:Dw4NDAsKCQgHBgUEAwIBAOSbIPeSx1BxelcEgG0pOOE5Y_5dAykm5cTP8p7uaZ0j\n";
  const struct {
    std::string config, selection, cpuinfo;  // cpuinfo: "missing", "folder" or its text
    bool hardened;
  } rows[] = {
      {kConfig, "2", "missing", false},
      {kConfig, "3", "folder", false},
      {tier2, "1", "missing", false},
      {kConfig, "2", "processor\t: 0\n", true},  // read whole, no serial: UNKNOWN_CPU
      {tier2, "1", "Serial\t\t: 00000000deadbeef\n", true},
  };
  for (const auto& row : rows) {
    Installation installation(row.config);
    if (row.cpuinfo == "folder") std::filesystem::create_directory(installation.dir / "cpuinfo");
    if (row.cpuinfo != "folder" && row.cpuinfo != "missing") {
      installation.write("cpuinfo", row.cpuinfo);
    }
    const auto [out, err] = installation.console(row.selection + "\nq\n");
    EXPECT_NE(out.find(row.hardened ? kHardened : kIncomplete), std::string::npos) << out;
    EXPECT_EQ(installation.read() == row.config, !row.hardened) << row.cpuinfo;
    EXPECT_EQ(
        err.find("cannot read " + (installation.dir / "cpuinfo").string()) != std::string::npos,
        !row.hardened)
        << err;
  }
}

// Whether the terminal echoed when the PIN prompt was written.
struct PromptWatch : std::stringbuf {
  explicit PromptWatch(int watched) : terminal(watched) {}
  std::streamsize xsputn(const char* text, std::streamsize size) override {
    termios settings{};
    if (std::string_view(text, static_cast<std::size_t>(size)).find("PIN") != std::string::npos &&
        tcgetattr(terminal, &settings) == 0) {
      echo_at_prompt = (settings.c_lflag & ECHO) != 0;
    }
    return std::stringbuf::xsputn(text, size);
  }
  int terminal;
  std::optional<bool> echo_at_prompt;
};

TEST(Authentication, EchoIsOffBeforeThePromptShows) {
  int master = -1;
  int slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const UniqueFd master_end(master);
  const UniqueFd slave_end(slave);
  Installation installation(kConfig);
  std::filesystem::create_directories(installation.dir / "sda/device");
  installation.write("sda/device/serial", "USB-1\n");
  const SecurityService security(kShadowKeysPath, base_key_bytes(),
                                 HardwarePaths{"/dev/null", installation.dir.string() + "/"});
  std::istringstream in("1234\n");
  PromptWatch watch(slave);
  std::ostream out(&watch);
  std::ostringstream err;
  AdminTool console(security, installation.dir / "installation.toml",
                    ConsoleIo{in, out, err, slave}, ConsoleSystem{.commands = installation.runner});
  EXPECT_TRUE(console.authenticate_admin());
  EXPECT_EQ(watch.echo_at_prompt, false);
}

// The signed update's private folder: those that killed runs left go
// before it is made, it goes when done, and one that cannot go is reported.
TEST(Console, SignedUpdateLeavesNoPrivateFolder) {
  for (const bool removable : {true, false}) {
    Installation installation("allow_remote_updates = true\n");
    installation.write("package", "p");
    const std::filesystem::path scratch = installation.dir / "scratch";
    std::filesystem::create_directories(scratch / "vesk-update.AbC123/package");
    std::filesystem::create_directories(scratch / "vesk-update.kept");
    std::filesystem::path stuck;
    installation.runner.on_run = [&](const CommandLine& command) {
      if (removable || command[0] != "openssl") return;
      stuck = std::filesystem::path(command.back()).parent_path() / "stuck";
      std::ofstream{stuck};
      ASSERT_TRUE(set_immutable(stuck, true));
    };
    const SecurityService security(kShadowKeysPath, base_key_bytes());
    std::istringstream in("7\n" + (installation.dir / "package").string() + " " +
                          (installation.dir / "package").string() + "\nq\n");
    std::ostringstream out;
    std::ostringstream err;
    AdminTool(security, installation.dir / "installation.toml", ConsoleIo{in, out, err},
              ConsoleSystem{.commands = installation.runner,
                            .is_writable = [](auto&) { return false; },
                            .exists = [](auto&) { return true; },
                            .scratch_dir = scratch})
        .run();
    EXPECT_NE(out.str().find("[+] Update Successful."), std::string::npos) << out.str();
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(scratch)) {
      left.push_back(entry.path().filename());
    }
    EXPECT_EQ(left.size(), removable ? 1U : 2U);
    EXPECT_TRUE(std::filesystem::exists(scratch / "vesk-update.kept"));
    if (!stuck.empty()) {
      EXPECT_EQ(err.str(),
                RED + "[-] Error: Could not remove " + stuck.parent_path().string() + RESET + "\n");
      set_immutable(stuck, false);
    }
  }
}

TEST(AdminTool, AnOperationThatThrowsGivesTheMenuBack) {
  const SecurityService security(kShadowKeysPath, base_key_bytes());
  std::istringstream in("4\nq\n");
  std::ostringstream out;
  std::ostringstream err;
  ThrowingRunner runner;
  AdminTool console(
      security, "installation.toml", ConsoleIo{in, out, err},
      ConsoleSystem{.commands = runner, .is_writable = [](const std::string&) { return true; }});
  console.run();
  EXPECT_EQ(err.str(), "\x1b[01;31m[-] Error: no editor here\x1b[00m\n");
  EXPECT_NE(out.str().rfind("Selection: "), out.str().find("Selection: "));
}

TEST(ProcessRunner, ExitStatuses) {
  // The console ignores Ctrl-C while a command runs; the command does not.
  EXPECT_EQ(ProcessRunner().run({"sh", "-c", "kill -INT $PPID"}, CommandOutput::kDiscard), 0);
  EXPECT_EQ(ProcessRunner().run({"sh", "-c", "kill -INT $$"}, CommandOutput::kDiscard),
            128 + SIGINT);
  EXPECT_EQ(ProcessRunner().run({"/nonexistent/program"}, CommandOutput::kDiscard), 127);
}

}  // namespace
}  // namespace vesk
