#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "machine/machine.h"

namespace vesk {

// The machine of the unit tests: files are real (in a temp folder) unless a
// row says otherwise; every command is recorded, one string each, and none
// is run: a command fails (status 1) when it starts with one of `failing`,
// else cp copies and chattr on the configuration seals or opens.
struct FakeMachine : Machine {
  int run(const CommandLine& command, CommandOutput /*output*/) override {
    std::string text;
    for (const std::string& word : command) text.append(text.empty() ? "" : " ").append(word);
    commands.push_back(text);
    if (on_run) on_run(command);
    for (const std::string& prefix : failing) {
      if (text.starts_with(prefix)) return 1;
    }
    if (command[0] == "cp") {
      std::filesystem::copy_file(command[1], command[2],
                                 std::filesystem::copy_options::overwrite_existing);
    }
    if (sealed && text.starts_with("sudo chattr ") && text.ends_with(" tarvemill_run") &&
        command.size() > 4) {
      sealed = command[2] == "+i";
    }
    return 0;
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

  std::vector<std::string> commands;
  std::vector<std::string> failing;
  std::function<void(const CommandLine&)> on_run;
  std::optional<bool> sealed;         // else the real write test
  std::optional<ConfigRead> config;   // what every read gives, else the file
  std::optional<WriteOutcome> write;  // what every rewrite comes to, else the real one
  std::optional<FileInfo> info;       // every file's, else the real one
  std::function<DaemonReply(const std::string&)> daemon;  // else no socket
};

}  // namespace vesk
