#pragma once

#include <openssl/rand.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "machine/device_paths.h"
#include "machine/machine.h"
#include "security/base_key.h"
#include "security/security_service.h"

// The machine of the unit tests: its files in a TempFolder, its calls
// through a FakeMachine.
namespace vesk {

// A fresh folder under the temp directory, removed with what it holds when
// the object goes, and its files by name.
struct TempFolder {
  TempFolder() = default;
  ~TempFolder() { std::filesystem::remove_all(path); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  void write(const std::string& name, const std::string& text) const {
    std::filesystem::create_directories((path / name).parent_path());
    std::ofstream(path / name) << text;
  }
  std::string read(const std::string& name) const {
    std::ostringstream text;
    text << std::ifstream(path / name).rdbuf();
    return text.str();
  }

  const std::filesystem::path path = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "vesk-test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no temp folder");
    return pattern;
  }();
};

// A device in a fresh folder: a cpuinfo with `serial_line` (after a long
// flags line, so it takes more than one read of 4 KiB), a drive "sda" that
// shows `usb_serial` (none when it is empty), and the paths that lead there.
struct FakeDevice : TempFolder {
  explicit FakeDevice(const std::string& serial_line = "Serial\t\t: 00000000c0ffee01\n",
                      const std::string& usb_serial = "USB-4C530001") {
    write("cpuinfo", "processor\t: 0\nflags\t: " + std::string(4070, 'f') + "\n" + serial_line);
    if (!usb_serial.empty()) write("sda/device/serial", usb_serial + "\n");
  }
  SecurityService service() const { return {base_key_bytes(), paths.hardware}; }

  const DevicePaths paths{.hardware = {path / "cpuinfo", path.string() + "/"},
                          .usb_config = path / "usb/installation.toml",
                          .scratch_dir = path};
};

// The random generator fails while one of these lives. (RAND_set_rand_method
// is deprecated, and the one way to make it fail on purpose.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
struct FailingRandom {
  FailingRandom() { RAND_set_rand_method(&failing); }
  ~FailingRandom() { RAND_set_rand_method(nullptr); }
  static int no_bytes(unsigned char* /*buffer*/, int /*count*/) { return 0; }
  RAND_METHOD failing{nullptr, no_bytes, nullptr, nullptr, no_bytes, [] { return 1; }};
};
#pragma GCC diagnostic pop

// The machine's calls: files are real (in a TempFolder) unless a test says
// otherwise. Every outside command and every flush of a file system
// ({"syncfs", path}) is recorded as its argument vector; one that starts
// with an entry of `failing` fails (exit 1, EIO), as does the removal of a
// private folder when `failing` holds {"remove"}. cp runs, other commands
// only succeed, and chattr on the application seals or opens the
// installation. The configuration's limit is 4 KiB.
struct FakeMachine : Machine {
  bool fails(const CommandLine& call) const {
    return std::any_of(failing.begin(), failing.end(), [&call](const CommandLine& prefix) {
      return call.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), call.begin());
    });
  }
  int run(const CommandLine& command, CommandOutput output) override {
    calls.push_back(command);
    if (on_run) on_run(command);
    if (fails(command)) return 1;
    if (command.size() > 2 && command[1] == "chattr" && command.back() == "tarvemill_run") {
      sealed = command[2] == "+i";
    }
    return command[0] == "cp" ? Machine::run(command, output) : 0;
  }
  std::error_code sync_file_system(const std::string& path) override {
    calls.push_back({"syncfs", path});
    return fails(calls.back()) ? std::make_error_code(std::errc::io_error) : std::error_code();
  }
  std::error_code remove_private_folder(const std::string& path) override {
    return fails({"remove"}) ? std::make_error_code(std::errc::io_error)
                             : Machine::remove_private_folder(path);
  }
  std::size_t config_limit() const override { return 4096; }
  bool is_writable(const std::string& at) override {
    return sealed ? !*sealed : Machine::is_writable(at);
  }
  ConfigRead read_config(const std::string& at) override {
    return config ? *config : Machine::read_config(at);
  }
  WriteOutcome replace_config(const std::string& at, std::string_view text) override {
    return write ? *write : Machine::replace_config(at, text);
  }
  Immutability immutability(const std::string& at) override {
    return immutable ? *immutable : Machine::immutability(at);
  }
  std::optional<FileInfo> file_info(const std::string& at, bool follow) override {
    return info ? info : Machine::file_info(at, follow);
  }
  DaemonReply ask_daemon(const std::string& /*socket*/, const std::string& request) override {
    return daemon ? daemon(request) : DaemonReply{Exchange::kNoSocket, {}};
  }

  std::vector<CommandLine> calls;
  std::vector<CommandLine> failing;
  std::function<void(const CommandLine&)> on_run;
  std::optional<bool> sealed;             // else the real write test
  std::optional<ConfigRead> config;       // what every read gives, else the file
  std::optional<WriteOutcome> write;      // what every replacement comes to, else the real one
  std::optional<FileInfo> info;           // every file's, else the real one
  std::optional<Immutability> immutable;  // every file's, else the real one
  std::function<DaemonReply(const std::string&)> daemon;  // else no socket
};

}  // namespace vesk
