#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "console/admin_tool.h"
#include "console/globals.h"
#include "tests/support/fake_device.h"

namespace vesk::testing {

// Records every command it is asked to run and answers with scripted exit
// statuses (0 unless told otherwise). Programs named in `really_run` are
// run for real.
class RecordingRunner final : public CommandRunner {
 public:
  int run(const CommandLine& command, CommandOutput output) override;

  // Exit status for a command, keyed by its words joined with blanks.
  std::map<std::string, int> exit_status;
  // Called for each command; a status it returns overrides the others.
  std::function<std::optional<int>(const CommandLine&)> on_run;
  std::set<std::string> really_run;
  std::vector<CommandLine> commands;
  // The commands whose output was discarded, in order.
  std::vector<CommandLine> quiet_commands;
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
  // What the operation left unread is kept in `unread_input`.
  std::string run_operation(const std::string& input, const std::function<void(AdminTool&)>& op);

  FakeDevice device;
  SecurityService service = make_service(device);
  ScopedTempDir dir;
  std::string config_path = dir.file("installation.toml");
  std::string usb_config = dir.file("usb/installation.toml");
  RecordingRunner runner;
  bool sealed = false;
  std::string err;
  std::string unread_input;

 private:
  std::unique_ptr<AdminTool> make_tool(std::istream& in, std::ostream& out, std::ostream& error);
};

// The menu exactly as it is drawn for an open or a sealed installation.
std::string menu_text(bool sealed);

// What a stage writes while applying the policy at `tier`, with one DONE
// line per key in `vaulted_keys` (none when everything was vaulted already).
std::string policy_output(int tier, const std::vector<std::string>& vaulted_keys);

// The blob a rebuilt line of `file` assigns to `key` ("" when none).
std::string blob_of(const std::string& file, const std::string& key);

// What authentication writes up to the PIN prompt when a drive is present.
extern const std::string kPinPrompt;
// What it writes when a drive is present and a PIN is typed.
extern const std::string kAccessGranted;
// What it writes when no drive is present.
extern const std::string kNoMasterKey;

}  // namespace vesk::testing
