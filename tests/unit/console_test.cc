// The console's operations on an installation in a temp folder, with the
// outside commands recorded instead of run, and the statuses of the
// commands it runs. The dialogues are tested whole on the real program
// (tests/system).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>

#include <array>
#include <csignal>
#include <sstream>
#include <stdexcept>

#include "config/config_file.h"
#include "console/admin_tool.h"
#include "console/globals.h"
#include "fake_machine.h"
#include "security/base_key.h"
#include "security/unique_fd.h"
#include "temp_folder.h"

namespace vesk {
namespace {

// An open installation in a fresh folder, on a device whose cpuinfo and
// sysfs block folder are in that folder too.
struct Installation : TempFolder {
  explicit Installation(const std::string& config) { write("installation.toml", config); }

  // Runs the console on `input`; returns what it wrote to both streams.
  std::pair<std::string, std::string> console(const std::string& input, std::ostream* out = nullptr,
                                              int terminal = -1) {
    const SecurityService security(base_key_bytes(), paths.hardware);
    std::istringstream in(input);
    std::ostringstream text;
    std::ostringstream err;
    AdminTool(security, path / "installation.toml", ConsoleIo{in, out ? *out : text, err, terminal},
              machine, paths)
        .run();
    return {text.str(), err.str()};
  }

  FakeMachine machine;
  const DevicePaths paths{.hardware = {path / "cpuinfo", path.string() + "/"},
                          .usb_config = path / "usb/installation.toml",
                          .scratch_dir = path};
};

// A blob of another tier is opened before it is vaulted again, so with a
// cpuinfo that cannot be read it is not vaulted as the text it is: the key
// fails and the file stays. (Stage 2 on such a device: fault_test.py.)
TEST(Console, NoStageOnAnUnreadableCpuinfo) {
  // A tier-2 blob of kSerialLine's device for "db-pass/16bytes!".
  const std::string tier2 =
      "[PASSES]\nadmin_pass = "
      "v2:Dw4NDAsKCQgHBgUEAwIBAOSbIPeSx1BxelcEgG0pOOE5Y_5dAykm5cTP8p7uaZ0j\n";
  Installation installation(tier2);
  const auto [out, err] = installation.console("1\nq\n");
  EXPECT_NE(out.find(RED + "[-] Error: Security Policy Incomplete."), std::string::npos) << out;
  EXPECT_EQ(installation.read("installation.toml"), tier2);
  EXPECT_NE(err.find("cannot read " + (installation.path / "cpuinfo").string()), std::string::npos);
}

// A vaulted line is longer than a plain one: a stage never writes a file
// larger than the programs read.
TEST(Console, NoStageWritesPastTheSizeLimit) {
  const std::string config =
      "[PASSES]\nadmin_pass = alpha\n#" + std::string(kMaxConfigBytes - 60, '#');
  Installation installation(config);
  const auto [out, err] = installation.console("1\nq\n");
  EXPECT_NE(err.find("it would be larger than 16 MiB"), std::string::npos) << err;
  EXPECT_TRUE(installation.read("installation.toml") == config);
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
  std::array<int, 2> ends{-1, -1};  // master, slave
  ASSERT_EQ(openpty(&ends[0], &ends[1], nullptr, nullptr, nullptr), 0);
  const std::array<UniqueFd, 2> owned{UniqueFd(ends[0]), UniqueFd(ends[1])};
  Installation installation("");
  installation.write("sda/device/serial", "USB-1\n");
  installation.machine.sealed = true;
  PromptWatch watch(ends[1]);
  std::ostream out(&watch);
  installation.console("4\n1234\nq\n", &out, ends[1]);
  EXPECT_EQ(watch.echo_at_prompt, false);
}

// A missing configuration counts as sealed; a restore needs the drive's copy.
TEST(Console, SealedWithoutAConfigurationNoRestoreWithoutTheCopy) {
  EXPECT_FALSE(is_writable("/nonexistent/installation.toml"));
  Installation installation("");
  installation.write("sda/device/serial", "USB-1\n");
  EXPECT_NE(installation.console("6\nq\n").first.find("not found on USB."), std::string::npos);
}

TEST(AdminTool, AnOperationThatThrowsGivesTheMenuBack) {
  Installation installation("");
  installation.machine.on_run = [](auto&) { throw std::runtime_error("no editor here"); };
  const auto [out, err] = installation.console("4\nq\n");
  EXPECT_EQ(err, "\x1b[01;31m[-] Error: no editor here\x1b[00m\n");
  EXPECT_NE(out.rfind("Selection: "), out.find("Selection: "));
}

TEST(ProcessRunner, ExitStatuses) {
  // The console ignores Ctrl-C while a command runs; the command does not.
  EXPECT_EQ(run_process({"sh", "-c", "kill -INT $PPID"}, CommandOutput::kDiscard), 0);
  EXPECT_EQ(run_process({"sh", "-c", "kill -INT $$"}, CommandOutput::kDiscard), 128 + SIGINT);
  EXPECT_EQ(run_process({"/nonexistent/program"}, CommandOutput::kDiscard), 127);
  // Only the editor reads the console's input; here /dev/zero stands in for it.
  const UniqueFd saved_input(dup(STDIN_FILENO));
  const UniqueFd zero(open("/dev/zero", O_RDONLY | O_CLOEXEC));
  dup2(zero.get(), STDIN_FILENO);
  const CommandLine reads_null = {"sh", "-c", "[ \"$(readlink /proc/self/fd/0)\" = /dev/null ]"};
  const int inherited = run_process(reads_null, CommandOutput::kInherit);
  const int terminal = run_process(reads_null, CommandOutput::kTerminal);
  dup2(saved_input.get(), STDIN_FILENO);
  EXPECT_EQ(std::pair(inherited, terminal), std::pair(0, 1));
}

}  // namespace
}  // namespace vesk
