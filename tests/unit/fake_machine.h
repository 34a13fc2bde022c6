#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "machine/machine.h"

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

// The machine's calls: files are real (in a TempFolder) unless a test says
// otherwise. Every command is recorded as one line; one that
// starts with an entry of `failing` exits 1; cp runs, others only succeed,
// and chattr on the application seals or opens the installation.
struct FakeMachine : Machine {
  int run(const CommandLine& command, CommandOutput output) override {
    std::string line;
    for (const std::string& word : command) line += (line.empty() ? "" : " ") + word;
    commands += line + "\n";
    if (on_run) on_run(command);
    for (const std::string& prefix : failing) {
      if (line.starts_with(prefix)) return 1;
    }
    if (line.starts_with("sudo chattr ") && line.ends_with(" tarvemill_run")) {
      sealed = command[2] == "+i";
    }
    return command[0] == "cp" ? Machine::run(command, output) : 0;
  }
  bool is_writable(const std::string& path) override {
    return sealed ? !*sealed : Machine::is_writable(path);
  }
  ConfigRead read_config(const std::string& path) override {
    return config ? *config : Machine::read_config(path);
  }
  WriteOutcome replace_config(const std::string& path, std::string_view content) override {
    return write ? *write : Machine::replace_config(path, content);
  }
  std::optional<FileInfo> file_info(const std::string& path, bool follow_link) override {
    return info ? info : Machine::file_info(path, follow_link);
  }
  DaemonReply ask_daemon(const std::string& /*socket*/, const std::string& request) override {
    return daemon ? daemon(request) : DaemonReply{Exchange::kNoSocket, {}};
  }

  std::string commands;
  std::vector<std::string> failing;
  std::function<void(const CommandLine&)> on_run;
  std::optional<bool> sealed;         // else the real write test
  std::optional<ConfigRead> config;   // what every read gives, else the file
  std::optional<WriteOutcome> write;  // what every rewrite comes to, else the real one
  std::optional<FileInfo> info;       // every file's, else the real one
  std::function<DaemonReply(const std::string&)> daemon;  // else no socket
};

}  // namespace vesk
