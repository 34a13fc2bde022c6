#pragma once

#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "console/admin_tool.h"
#include "console/globals.h"
#include "tests/support/fake_device.h"

namespace vesk::testing {

// Records every command it is asked to run and answers with scripted exit
// statuses (0 unless told otherwise).
class RecordingRunner final : public CommandRunner {
 public:
  int run(const CommandLine& command) override;

  // Exit status for a command, keyed by its words joined with blanks.
  std::map<std::string, int> exit_status;
  // Called for each command before it is recorded as done.
  std::function<void(const CommandLine&)> on_run;
  std::vector<CommandLine> commands;
};

// The words of a command joined with blanks, for keys and messages.
std::string joined(const CommandLine& command);

inline const CommandLine kUnlockFiles = {"sudo", "chattr", "-i", "installation.toml", "keywarden",
                                         "tarvemill_run"};
inline const CommandLine kLockFiles = {"sudo", "chattr", "+i", "installation.toml", "keywarden",
                                       "tarvemill_run"};

// A console on a fake device whose installation is sealed or open by a
// flag that the recorded chattr commands flip, as they do on the device.
class ConsoleHarness {
 public:
  ConsoleHarness();

  // Runs the menu loop on `input`; returns everything written to stdout.
  std::string run_menu(const std::string& input);
  // Runs one operation with `input` as standard input; returns its stdout.
  std::string run_operation(const std::string& input, const std::function<void(AdminTool&)>& op);

  FakeDevice device;
  SecurityService service = make_service(device);
  ScopedTempDir dir;
  std::string config_path = dir.file("installation.toml");
  std::string usb_config = dir.file("usb/installation.toml");
  RecordingRunner runner;
  bool sealed = false;
  std::string err;

 private:
  std::unique_ptr<AdminTool> make_tool(std::istream& in, std::ostream& out, std::ostream& error);
};

// The menu exactly as it is drawn for an open or a sealed installation.
std::string menu_text(bool sealed);

// What authentication writes when a drive is present and a PIN is typed.
extern const std::string kAccessGranted;
// What it writes when no drive is present.
extern const std::string kNoMasterKey;

}  // namespace vesk::testing
