#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace vesk::testing {

// What a program run wrote and how it ended.
struct ProgramResult {
  std::string out;
  std::string err;
  int exit_status = -1;  // 128 + n when signal n ended it
};

// A running vaultd, stopped with SIGTERM when the object dies.
class DaemonProcess {
 public:
  explicit DaemonProcess(pid_t pid, int stdout_fd) : pid_(pid), stdout_fd_(stdout_fd) {}
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The first line the daemon wrote on standard output ("" on timeout).
  std::string first_line(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Sends SIGTERM and returns the exit status.
  int stop();

 private:
  pid_t pid_;
  int stdout_fd_;
};

// The appliance simulated inside a private mount namespace of the test
// process: a fake /proc/cpuinfo, a tmpfs over /sys/block (with or without
// drive "sda"), tmpfs over /mnt, /opt and /run, and an installation
// directory holding installation.toml, keywarden and tarvemill_run. The
// programs run with PATH starting at stand-ins for sudo (runs its
// arguments) and nano (logs its arguments, appends a line to the file).
// Everything the programs touch lies in the namespace or in a temp folder.
class SimulatedDevice {
 public:
  // Enters the namespace and mounts the device. Throws when the machine
  // cannot make mount namespaces (not root, no privileges).
  explicit SimulatedDevice(const std::string& cpu_serial = "00000000c0ffee01");
  ~SimulatedDevice();
  SimulatedDevice(const SimulatedDevice&) = delete;
  SimulatedDevice& operator=(const SimulatedDevice&) = delete;

  // Whether this machine lets the test make a private mount namespace.
  static bool available();

  void plug_usb(const std::string& serial);
  void unplug_usb();

  const std::filesystem::path& temp_dir() const { return temp_.path(); }
  const std::filesystem::path& install_dir() const { return install_dir_; }
  std::filesystem::path install_file(const std::string& name) const { return install_dir_ / name; }
  // What the nano stand-in logged, one line per run.
  std::string editor_log() const;

  // Runs keywarden in `working_dir` (the installation directory by default)
  // with `input` on its standard input.
  ProgramResult run_keywarden(const std::string& input,
                              const std::optional<std::filesystem::path>& working_dir = {});
  // Starts keywarden in `working_dir` with `input` already on its standard
  // input and its output discarded; returns its process id.
  pid_t start_keywarden(const std::string& input, const std::filesystem::path& working_dir);
  // Starts vaultd in the background as root with group `group`, which then
  // owns the socket, as the appliance runs it for its application's group.
  DaemonProcess start_vaultd(gid_t group = 1000);

 private:
  ProgramResult run(const std::vector<std::string>& argv, const std::string& input,
                    const std::filesystem::path& working_dir);

  ScopedTempDir temp_;
  std::filesystem::path install_dir_;
  std::filesystem::path stand_ins_;
  std::vector<std::string> mounts_;  // innermost last
};

// Sends one request to vaultd's socket as user `uid` in group `gid` and
// returns every byte of the reply; nothing when no connection could be made.
std::optional<std::string> ask_vaultd(const std::string& request, uid_t uid = 0, gid_t gid = 1000);

// The tier-2 key of `cpu_serial` in hex, derived with sha256sum rather than
// the library.
std::string tier2_key_hex_by_shell(const std::string& cpu_serial);

// Whether lsattr shows the immutable attribute on `path`.
bool is_immutable(const std::filesystem::path& path);

}  // namespace vesk::testing
