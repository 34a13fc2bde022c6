#include "machine/machine.h"

#include "config/installation.h"

namespace vesk {

ConfigRead Machine::read_config(const std::string& path) { return read_config_file(path); }

WriteOutcome Machine::replace_config(const std::string& path, std::string_view content) {
  return replace_config_file(path, content);
}

bool Machine::replace_config_with(const std::string& path,
                                  const std::function<bool(const std::string&)>& fill,
                                  mode_t new_file_mode) {
  return replace_config_file_with(path, fill, new_file_mode);
}

std::optional<FileInfo> Machine::file_info(const std::string& path, bool follow_link) {
  return vesk::file_info(path, follow_link);
}

Immutability Machine::immutability(const std::string& path) { return vesk::immutability(path); }

bool Machine::exists(const std::string& path) { return file_exists(path); }

bool Machine::is_writable(const std::string& path) { return vesk::is_writable(path); }

int Machine::run(const CommandLine& command, CommandOutput output) {
  return run_process(command, output);
}

DaemonReply Machine::ask_daemon(const std::string& socket_path, const std::string& request) {
  return vesk::ask_daemon(socket_path, request);
}

}  // namespace vesk
