#include "tests/system/simulated_device.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <stdexcept>

#include "tests/support/shell.h"

namespace vesk::testing {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSocketPath = "/var/run/vesk_sec.sock";
constexpr const char* kDevicePath = "/usr/sbin:/usr/bin:/sbin:/bin";

void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

int status_of(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

// Reads both pipes to their end while feeding `input`, so no side blocks.
void pump(int in_fd, const std::string& input, int out_fd, int err_fd, ProgramResult& result) {
  std::size_t written = 0;
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  std::array<pollfd, 3> fds{{{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}}};
  std::array<char, 4096> chunk{};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds.data(), fds.size(), 60000) <= 0) break;
    for (std::size_t i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t count = read(fds[i].fd, chunk.data(), chunk.size());
      if (count <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
      } else {
        (i == 0 ? result.out : result.err).append(chunk.data(), static_cast<std::size_t>(count));
      }
    }
    if (fds[2].fd >= 0 && fds[2].revents != 0) {
      const ssize_t count = write(fds[2].fd, input.data() + written, input.size() - written);
      if (count > 0) written += static_cast<std::size_t>(count);
      if (count <= 0 || written == input.size()) {
        close(fds[2].fd);
        fds[2].fd = -1;
      }
    }
  }
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
}

}  // namespace

bool SimulatedDevice::available() {
  const pid_t child = fork();
  if (child == 0) _exit(unshare(CLONE_NEWNS) == 0 ? 0 : 1);
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

SimulatedDevice::SimulatedDevice(const std::string& cpu_serial)
    : install_dir_(temp_.path() / "install"), stand_ins_(temp_.path() / "bin") {
  check(unshare(CLONE_NEWNS) == 0, "unshare");
  check(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make / private");

  write_file(temp_.path() / "cpuinfo",
             "processor\t: 0\nBogoMIPS\t: 108.00\nFeatures\t: fp asimd\n\nHardware\t: BCM2835\n"
             "Revision\t: c03111\nSerial\t\t: " + cpu_serial + "\nModel\t\t: Appliance\n");
  check(mount((temp_.path() / "cpuinfo").c_str(), "/proc/cpuinfo", nullptr, MS_BIND, nullptr) == 0,
        "bind cpuinfo");
  mounts_.push_back("/proc/cpuinfo");
  for (const char* dir : {"/sys/block", "/mnt", "/opt", "/run"}) {
    check(mount("tmpfs", dir, "tmpfs", 0, "mode=0755") == 0, std::string("tmpfs on ") + dir);
    mounts_.push_back(dir);
  }

  write_file(install_dir_ / "installation.toml", "");
  fs::copy_file(KEYWARDEN_PATH, install_dir_ / "keywarden");
  write_file(install_dir_ / "tarvemill_run", "#!/bin/sh\necho tarvemill 1.0\n");
  fs::permissions(install_dir_ / "tarvemill_run", fs::perms::owner_all, fs::perm_options::add);
  write_file(stand_ins_ / "sudo", "#!/bin/sh\nexec \"$@\"\n");
  write_file(stand_ins_ / "nano",
             "#!/bin/sh\necho \"nano $*\" >> '" + (temp_.path() / "editor.log").string() +
                 "'\nprintf '# edited on the device\\n' >> \"$1\"\n");
  for (const char* name : {"sudo", "nano"}) {
    fs::permissions(stand_ins_ / name, fs::perms::owner_all, fs::perm_options::add);
  }
}

SimulatedDevice::~SimulatedDevice() {
  // Sealed files must become removable again.
  run_shell("chattr -R -i '" + temp_.path().string() + "' 2>/dev/null");
  for (auto mount_point = mounts_.rbegin(); mount_point != mounts_.rend(); ++mount_point) {
    umount2(mount_point->c_str(), MNT_DETACH);
  }
}

void SimulatedDevice::plug_usb(const std::string& serial) {
  write_file("/sys/block/sda/device/serial", serial + "\n");
}

void SimulatedDevice::unplug_usb() { fs::remove_all("/sys/block/sda"); }

std::string SimulatedDevice::editor_log() const {
  std::error_code missing;
  return fs::exists(temp_.path() / "editor.log", missing) ? read_file(temp_.path() / "editor.log")
                                                           : std::string();
}

ProgramResult SimulatedDevice::run_keywarden(const std::string& input,
                                             const std::optional<fs::path>& working_dir) {
  return run({(install_dir_ / "keywarden").string()}, input, working_dir.value_or(install_dir_));
}

ProgramResult SimulatedDevice::run(const std::vector<std::string>& argv, const std::string& input,
                                   const fs::path& working_dir) {
  std::array<int, 2> in{};
  std::array<int, 2> out{};
  std::array<int, 2> err{};
  check(pipe2(in.data(), O_CLOEXEC) == 0 && pipe2(out.data(), O_CLOEXEC) == 0 &&
            pipe2(err.data(), O_CLOEXEC) == 0,
        "pipe");
  const std::string path = stand_ins_.string() + ":" + kDevicePath;
  const pid_t child = fork();
  check(child != -1, "fork");
  if (child == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    if (chdir(working_dir.c_str()) != 0) _exit(126);
    setenv("PATH", path.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  ProgramResult result;
  pump(in[1], input, out[0], err[0], result);
  int status = 0;
  waitpid(child, &status, 0);
  result.exit_status = status_of(status);
  return result;
}

pid_t SimulatedDevice::start_keywarden(const std::string& input, const fs::path& working_dir) {
  std::array<int, 2> in{};
  check(pipe2(in.data(), O_CLOEXEC) == 0, "pipe");
  // Small inputs fit the pipe, so the whole input is there before it runs.
  check(write(in[1], input.data(), input.size()) == static_cast<ssize_t>(input.size()), "input");
  close(in[1]);
  const std::string path = stand_ins_.string() + ":" + kDevicePath;
  const std::string program = (install_dir_ / "keywarden").string();
  const pid_t child = fork();
  check(child != -1, "fork");
  if (child == 0) {
    dup2(in[0], STDIN_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (chdir(working_dir.c_str()) != 0) _exit(126);
    setenv("PATH", path.c_str(), 1);
    execl(program.c_str(), "keywarden", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  return child;
}

DaemonProcess SimulatedDevice::start_vaultd(gid_t group) {
  std::array<int, 2> out{};
  check(pipe2(out.data(), O_CLOEXEC) == 0, "pipe");
  const pid_t child = fork();
  check(child != -1, "fork");
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    if (setgid(group) != 0) _exit(126);
    execl(VAULTD_PATH, "vaultd", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  return DaemonProcess(child, out[0]);
}

std::string DaemonProcess::first_line(std::chrono::milliseconds timeout) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!line.ends_with("\n")) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd fd{stdout_fd_, POLLIN, 0};
    if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) return "";
    char c = 0;
    if (read(stdout_fd_, &c, 1) != 1) return "";
    line += c;
  }
  return line;
}

int DaemonProcess::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return status_of(status);
}

DaemonProcess::~DaemonProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (stdout_fd_ >= 0) close(stdout_fd_);
}

std::optional<std::string> ask_vaultd(const std::string& request, uid_t uid, gid_t gid) {
  std::array<int, 2> reply{};
  if (pipe(reply.data()) != 0) return std::nullopt;
  const pid_t child = fork();
  if (child == -1) return std::nullopt;
  if (child == 0) {
    close(reply[0]);
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kSocketPath, sizeof(address.sun_path) - 1);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) _exit(3);
    // A refused peer is closed without being read, which the kernel turns
    // into a reset: EPIPE or ECONNRESET then mean "no reply", like an EOF.
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0 && errno != EPIPE &&
        errno != ECONNRESET) {
      _exit(4);
    }
    std::array<char, 4096> chunk{};
    for (ssize_t count = 0; (count = read(fd, chunk.data(), chunk.size())) > 0;) {
      if (write(reply[1], chunk.data(), static_cast<std::size_t>(count)) != count) _exit(5);
    }
    _exit(0);
  }
  close(reply[1]);
  std::string bytes;
  std::array<char, 4096> chunk{};
  for (ssize_t count = 0; (count = read(reply[0], chunk.data(), chunk.size())) > 0;) {
    bytes.append(chunk.data(), static_cast<std::size_t>(count));
  }
  close(reply[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return bytes;
}

std::string tier2_key_hex_by_shell(const std::string& cpu_serial) {
  const ShellResult digest =
      run_shell("printf 'ZEPHYR_KEY%s' '" + cpu_serial + "' | sha256sum | cut -c1-64");
  return digest.output.substr(0, 64);
}

bool is_immutable(const fs::path& path) {
  const ShellResult attributes = run_shell("lsattr -d '" + path.string() + "' 2>/dev/null");
  const std::string flags = attributes.output.substr(0, attributes.output.find(' '));
  return attributes.exit_status == 0 && flags.find('i') != std::string::npos;
}

}  // namespace vesk::testing
