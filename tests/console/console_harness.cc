#include "tests/console/console_harness.h"

namespace vesk::testing {

int RecordingRunner::run(const CommandLine& command, CommandOutput output) {
  commands.push_back(command);
  if (output == CommandOutput::kDiscard) quiet_commands.push_back(command);
  const std::optional<int> overridden = on_run ? on_run(command) : std::nullopt;
  if (overridden) return *overridden;
  if (really_run.contains(command.at(0))) return ProcessRunner().run(command, output);
  const auto scripted = exit_status.find(joined(command));
  return scripted == exit_status.end() ? 0 : scripted->second;
}

std::string joined(const CommandLine& command) {
  std::string text;
  for (const std::string& word : command) text += (text.empty() ? "" : " ") + word;
  return text;
}

ConsoleHarness::ConsoleHarness() {
  write_file(config_path, "[PASSES]\nadmin_pass = \"secret\"\n");
  runner.on_run = [this](const CommandLine& command) -> std::optional<int> {
    if (command == kUnlockFiles) sealed = false;
    if (command == kLockFiles) sealed = true;
    return std::nullopt;
  };
}

std::unique_ptr<AdminTool> ConsoleHarness::make_tool(std::istream& in, std::ostream& out,
                                                     std::ostream& error) {
  ConsoleSystem system{runner};
  system.is_writable = [this](const std::string& path) {
    return path == config_path ? !sealed : is_writable_by_console(path);
  };
  system.usb_config = usb_config;
  return std::make_unique<AdminTool>(service, config_path, ConsoleIo{in, out, error}, system);
}

std::string ConsoleHarness::run_menu(const std::string& input) {
  return run_operation(input, [](AdminTool& tool) { tool.run(); });
}

std::string ConsoleHarness::run_operation(const std::string& input,
                                          const std::function<void(AdminTool&)>& op) {
  std::istringstream in(input);
  std::ostringstream out;
  std::ostringstream error;
  const auto tool = make_tool(in, out, error);
  op(*tool);
  err += error.str();
  unread_input.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return out.str();
}

std::string menu_text(bool sealed) {
  return "\n" + CYAN + "VESK TARVEMILL - ADMIN v3.3 " + (sealed ? RED + "[SEALED]" : GREEN + "[OPEN]") +
         RESET + "\n" +
         "1. Stage 1: Provision (Dev Key)\n"
         "2. Stage 2: Localize (CPU Bound)\n"
         "3. Stage 3: Seal (Immutable + USB Auth)\n"
         "4. Edit Configuration (Nano)\n"
         "5. Enroll USB Master Key\n"
         "6. Restore Config from USB\n" +
         (sealed ? "7. Update Application Code (Signed)\n" : "   (Use SCP for Updates)\n") +
         "0. Exit (or 'q')\nSelection: ";
}

std::string policy_output(int tier, const std::vector<std::string>& vaulted_keys) {
  const std::string tag = "(v" + std::to_string(tier) + ")";
  std::string text = CYAN + "--- Applying Security Policy " + tag + " ---" + RESET + "\n";
  for (const std::string& key : vaulted_keys) {
    text += "    Encrypting " + key + " " + tag + "... " + GREEN + "DONE" + RESET + "\n";
  }
  return text + "\n" + GREEN + "[+] Data Hardened." + RESET + "\n";
}

std::string blob_of(const std::string& file, const std::string& key) {
  const std::size_t line = file.find("\n" + key + " = \"");
  if (line == std::string::npos) return {};
  const std::size_t start = line + key.size() + 5;
  return file.substr(start, file.find('"', start) - start);
}

const std::string kPinPrompt = RED + "\n[LOCKED] Authenticating Admin..." + RESET + "\n" +
                               "[*] Checking for Master USB Key... " + GREEN + "FOUND" + RESET +
                               "\n[*] Enter Admin PIN: ";

const std::string kAccessGranted = kPinPrompt + GREEN + "[+] Access Granted." + RESET + "\n";

const std::string kNoMasterKey = RED + "\n[LOCKED] Authenticating Admin..." + RESET + "\n" +
                                 "[*] Checking for Master USB Key... " + RED + "FAIL (Missing)" +
                                 RESET + "\n";

}  // namespace vesk::testing
