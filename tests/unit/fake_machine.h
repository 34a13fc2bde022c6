#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "machine/machine.h"

namespace vesk {

// The machine of the unit tests: files are real (in a temp folder) unless a
// test says otherwise; no command is run, each one succeeds.
struct FakeMachine : Machine {
  int run(const CommandLine& command, CommandOutput /*output*/) override {
    if (on_run) on_run(command);
    return 0;
  }
  bool is_writable(const std::string& path) override {
    return sealed ? !*sealed : Machine::is_writable(path);
  }
  ConfigRead read_config(const std::string& path) override {
    return config ? *config : Machine::read_config(path);
  }
  std::optional<FileInfo> file_info(const std::string& path, bool follow_link) override {
    return info ? info : Machine::file_info(path, follow_link);
  }
  DaemonReply ask_daemon(const std::string& /*socket*/, const std::string& request) override {
    return daemon ? daemon(request) : DaemonReply{Exchange::kNoSocket, {}};
  }

  std::function<void(const CommandLine&)> on_run;
  std::optional<bool> sealed;                             // else the real write test
  std::optional<ConfigRead> config;                       // what every read gives, else the file
  std::optional<FileInfo> info;                           // every file's, else the real one
  std::function<DaemonReply(const std::string&)> daemon;  // else no socket
};

}  // namespace vesk
