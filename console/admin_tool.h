#pragma once

#include <istream>
#include <ostream>
#include <string>

#include "config/policy_rules.h"
#include "machine/device_paths.h"
#include "machine/machine.h"
#include "security/security_service.h"

namespace vesk {

// The console's streams. `terminal_fd` is the descriptor behind `in` when
// it may be a terminal (echo is switched off for the PIN), -1 otherwise.
struct ConsoleIo {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  int terminal_fd = -1;
};

// The operator's console: the menu loop and every operation it offers.
class AdminTool {
 public:
  // `security` and `machine` must outlive the console.
  AdminTool(const SecurityService& security_service, std::string config_file,
            const ConsoleIo& console_io, Machine& outside, DevicePaths device_paths);

  // Runs menu cycles until the operator selects exit or input ends. An
  // operation that throws is reported on the error stream and the menu
  // comes back.
  void run();

  // Asks for the master USB key and the PIN. True when access is granted.
  bool authenticate_admin();

  // How a change of the installation may go on.
  enum class Opening { kWasOpen, kUnlocked, kRefused };
  // Every change of a sealed installation passes here: it says `notice`
  // (when given), authenticates the administrator and unlocks the system
  // files. An open installation is left as it is.
  Opening open_for_change(const std::string& notice = "");

  // Runs stage 1, 2 or 3: vaults the policy's passwords (tier 1 for stage
  // 1, tier 2 otherwise), unlocking a sealed installation after
  // authentication, and seals the installation in stage 3.
  void request_escalation(int stage);

  // What one policy step came to.
  enum class StepResult {
    kDone,
    kFailed,       // the file could not be read or written, or a value not
                   // encrypted; the file is as it was
    kFileTouched,  // a failed in-place write touched the file: no later
                   // step may write into it
  };

  // Vaults every plain value of `target` in the configuration at `tier`
  // and rewrites the file when something changed. Reports its progress on
  // the output and its errors on the error stream.
  StepResult broker_update(const SecurityTarget& target, int tier);

  // Replaces the configuration with the copy on the mounted USB drive,
  // after authentication when sealed. Leaves the installation open.
  void request_restore();

  // Applies an application package on a sealed installation, approved by a
  // verified signature (remote updates allowed) or by authentication. On
  // the signature path the bytes verified are the bytes extracted: both
  // files are copied into a private folder first.
  void perform_update();

 private:
  bool is_sealed() const;
  // Writes the output so far, then runs `command`; returns its exit status.
  int run_command(const CommandLine& command, CommandOutput output = CommandOutput::kInherit);
  // Lifts the immutable attribute and makes the configuration writable.
  void unlock_system_files();
  // Makes the configuration read-only and the system files immutable, and
  // flushes that to disk. True when both commands and the flush succeeded.
  bool lock_system_files();
  // Flushes the file systems holding `files` to disk, so what outside
  // programs wrote there survives a power cut; says why on the error stream
  // when one cannot be flushed, and returns false.
  bool flush_to_disk(const std::vector<std::string>& files);

  void show_menu(bool sealed);
  void dispatch(int selection, bool sealed);
  void edit_configuration();
  void enroll_usb_key();

  const SecurityService& security;
  const std::string config_path;
  ConsoleIo io;
  Machine& machine;
  const DevicePaths paths;
};

}  // namespace vesk
