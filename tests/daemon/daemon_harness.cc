#include "tests/daemon/daemon_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "daemon/security_daemon.h"
#include "daemon/stop_signals.h"
#include "tests/support/shell.h"

namespace vesk::testing {
namespace {

using namespace std::chrono_literals;

void redirect(int target, const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || dup2(fd, target) < 0) _exit(112);
  close(fd);
}

}  // namespace

ChildProcess::ChildProcess(const std::function<int()>& body) {
  write_file(dir_.file("out"), "");
  write_file(dir_.file("err"), "");
  std::cout.flush();
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ > 0) return;
  redirect(STDOUT_FILENO, dir_.file("out"));
  redirect(STDERR_FILENO, dir_.file("err"));
  int status = 111;
  try {
    status = body();
  } catch (...) {
  }
  std::cout.flush();
  _exit(status);
}

ChildProcess::~ChildProcess() {
  if (!status_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void ChildProcess::wait_for_output() {
  for (int i = 0; i < 500 && out().empty() && alive(); ++i) std::this_thread::sleep_for(10ms);
}

bool ChildProcess::alive() {
  if (status_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
  return !status_;
}

int ChildProcess::exit_code() {
  for (int i = 0; i < 500 && alive(); ++i) std::this_thread::sleep_for(10ms);
  if (alive()) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = status;
  }
  return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : 128 + WTERMSIG(*status_);
}

std::function<int()> daemon_body(const std::string& socket_path, const FakeDevice& device,
                                 const DaemonOptions& options) {
  return [socket_path, paths = device.paths(), options] {
    if (options.stop_signals) install_stop_signals();
    if (options.umask) umask(*options.umask);
    if (options.before_init) options.before_init();
    SecurityDaemon daemon(socket_path, "/var/lib/tarvemill/.shadow_keys", bytes_of("ZEPHYR_KEY"),
                          paths);
    if (!daemon.init()) return 1;
    if (options.before_serve) options.before_serve();
    daemon.serve();
    return 0;
  };
}

UniqueFd connect_to(const std::string& socket_path) {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot connect to " + socket_path);
  }
  const timeval bound{.tv_sec = 10, .tv_usec = 0};
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  return fd;
}

void send_text(int fd, const std::string& text) {
  const ssize_t sent = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  // A daemon that turns the peer away may close before the request is
  // sent; the client then simply reads nothing.
  if (sent < 0 && (errno == EPIPE || errno == ECONNRESET)) return;
  if (sent != static_cast<ssize_t>(text.size())) throw std::runtime_error("short send");
}

std::string read_to_end(int fd) {
  std::string received;
  char chunk[4096];
  ssize_t count = 0;
  while ((count = read(fd, chunk, sizeof chunk)) > 0) {
    received.append(chunk, static_cast<std::size_t>(count));
  }
  // A daemon that closes without reading what was sent resets the
  // connection; for the client that is the end too.
  if (count < 0 && errno != ECONNRESET) throw std::runtime_error("read failed or timed out");
  return received;
}

std::string ask(const std::string& socket_path, const std::string& request) {
  const UniqueFd fd = connect_to(socket_path);
  send_text(fd.get(), request);
  return read_to_end(fd.get());
}

}  // namespace vesk::testing
