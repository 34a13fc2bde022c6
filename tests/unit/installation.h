#pragma once

#include <array>
#include <filesystem>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>

#include "console/admin_tool.h"
#include "fake_machine.h"
#include "security/base_key.h"
#include "temp_folder.h"

namespace vesk {

inline const std::string kConfig =
    "# Tarvemill installation\n[PASSES]\nadmin_pass = \"alpha\"\nfrp_pass = beta # relay\n"
    "  smtp_pass1 = \"gamma\"\nsmtp_pass2=\"delta\"   # second\nsql_pass = 'epsilon'\n"
    "[NETWORK]\nallow_remote_updates = false\n";
inline const std::string kTier2Blob =  // of the installation's device
    "v2:Dw4NDAsKCQgHBgUEAwIBAOSbIPeSx1BxelcEgG0pOOE5Y_5dAykm5cTP8p7uaZ0j";

// An open installation in a fresh folder, on a device whose cpuinfo, sysfs
// block folder, USB copy and scratch folder are in that folder too, with
// the master USB key plugged in and an update package at hand.
struct Installation : TempFolder {
  explicit Installation(const std::string& config = kConfig) {
    write("installation.toml", config);
    write("cpuinfo", "processor\t: 0\nSerial\t\t: 00000000c0ffee01\n");
    write("sda/device/serial", "USB-4C530001\n");
    write("update.tar.gz", "tarvemill 2.0");
    write("update.tar.gz.sig", "signature");
    machine.sealed = false;
  }

  // Sets up the device a row names, word by word.
  void stage(const std::string& words) {
    std::istringstream in(words);
    for (std::string word; in >> word;) {
      if (word == "sealed") machine.sealed = true;
      if (word == "no-drive") std::filesystem::remove_all(path / "sda");
      if (word == "no-cpuinfo") std::filesystem::remove(path / "cpuinfo");
      if (word == "usb-copy") write("usb/installation.toml", "admin_pass = usb\n");
      if (word == "remote") write("installation.toml", "allow_remote_updates = true\n");
      if (word == "remote") write("public_key.pem", "key");
      if (word == "no-key") std::filesystem::remove(path / "public_key.pem");
      if (word == "full-disk") machine.write = WriteOutcome::kRestored;
      if (word == "unreadable") machine.config = Unexpected<ConfigReadError>{};
      if (word == "throwing") machine.on_run = [](auto&) { throw std::runtime_error("no editor"); };
      // A command that fails, spaces written as "_".
      if (word.starts_with("fail:")) {
        machine.failing.push_back(std::regex_replace(word.substr(5), std::regex("_"), " "));
      }
    }
  }

  // Runs the console on `input` in the installation's folder; returns what
  // it wrote to both streams and the commands, one a line, the folder's
  // path and the random part of temporary names taken out.
  std::array<std::string, 3> console(const std::string& input, std::ostream* out = nullptr,
                                     int terminal = -1) {
    std::istringstream in(input);
    return console(in, out, terminal);
  }
  std::array<std::string, 3> console(std::istream& in, std::ostream* out = nullptr,
                                     int terminal = -1) {
    const SecurityService security(base_key_bytes(), paths.hardware);
    std::ostringstream text;
    std::ostringstream err;
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(path);
    AdminTool(security, path / "installation.toml", ConsoleIo{in, out ? *out : text, err, terminal},
              machine, paths)
        .run();
    std::filesystem::current_path(before);
    std::string commands;
    for (const std::string& command : machine.commands) commands += command + "\n";
    return {text.str(), plain(err.str()), plain(commands)};
  }

  std::string plain(const std::string& text) const {
    static const std::regex kRandom(R"((\.installation\.toml|vesk-update)\.\w{6})");
    return std::regex_replace(std::regex_replace(text, std::regex(path.string() + "/"), ""),
                              kRandom, "$1.XXXXXX");
  }

  FakeMachine machine;
  const DevicePaths paths{.hardware = {path / "cpuinfo", path.string() + "/"},
                          .usb_config = path / "usb/installation.toml",
                          .scratch_dir = path};
};

}  // namespace vesk
