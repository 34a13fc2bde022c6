#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "config/config_file.h"
#include "machine/command_runner.h"
#include "machine/daemon_client.h"
#include "machine/file_attributes.h"

namespace vesk {

// What the console and vaultcheck ask of the machine: their configuration
// file, the state of files, outside commands and vaultd. Each call does the
// real thing (see the function it is named after); tests derive a fake that
// records what is asked and can fail any call.
class Machine {
 public:
  Machine() = default;
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;
  virtual ~Machine() = default;

  // read_config_file, replace_config_file and replace_config_file_with.
  virtual ConfigRead read_config(const std::string& path);
  virtual WriteOutcome replace_config(const std::string& path, std::string_view content);
  virtual bool replace_config_with(const std::string& path,
                                   const std::function<bool(const std::string&)>& fill,
                                   mode_t new_file_mode);

  // file_info, immutability and file_exists.
  virtual std::optional<FileInfo> file_info(const std::string& path, bool follow_link);
  virtual Immutability immutability(const std::string& path);
  virtual bool exists(const std::string& path);
  // The sealed test: is_writable.
  virtual bool is_writable(const std::string& path);

  // run_process.
  virtual int run(const CommandLine& command, CommandOutput output);
  // ask_daemon, within kDaemonExchangeLimit.
  virtual DaemonReply ask_daemon(const std::string& socket_path, const std::string& request);
};

}  // namespace vesk
