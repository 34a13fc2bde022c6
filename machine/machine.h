#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "config/config_file.h"
#include "config/temporary_entry.h"
#include "machine/command_runner.h"
#include "machine/daemon_client.h"
#include "machine/file_attributes.h"

namespace vesk {

// What the console and vaultcheck ask of the machine: their configuration
// file, the state of files, private folders, the disk, outside commands and
// vaultd. Each call does the real thing (see the function it is named
// after); tests derive a fake that records what is asked and can fail any
// call.
class Machine {
 public:
  Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;
  virtual ~Machine();

  // The most a configuration may hold: kMaxConfigBytes.
  virtual std::size_t config_limit() const;
  // read_config_file within config_limit(), replace_config_file and
  // replace_config_file_with.
  virtual ConfigRead read_config(const std::string& path);
  virtual WriteOutcome replace_config(const std::string& path, std::string_view content);
  virtual WriteOutcome replace_config_with(const std::string& path,
                                           const std::function<bool(const std::string&)>& fill,
                                           mode_t new_file_mode);

  // file_info, immutability and file_exists.
  virtual std::optional<FileInfo> file_info(const std::string& path, bool follow_link);
  virtual Immutability immutability(const std::string& path);
  virtual bool exists(const std::string& path);
  // The sealed test: is_writable.
  virtual bool is_writable(const std::string& path);

  // A new folder of this run's own (mode 0700) under `parent`, after the
  // ones killed runs left there went (a TemporaryEntry "vesk-update.XXXXXX"):
  // its path, or nothing. It lasts until remove_private_folder, or until
  // the machine goes.
  virtual std::optional<std::string> make_private_folder(const std::string& parent);
  // Removes a folder make_private_folder made, with its contents. Why it
  // could not, or no error.
  virtual std::error_code remove_private_folder(const std::string& path);
  // Copies the regular file at `source` to the new file `target` (mode
  // 0600). False when the source is missing, unreadable or not a regular
  // file (a FIFO is not waited on), or when the copy fails.
  virtual bool copy_file(const std::string& source, const std::string& target);

  // Flushes everything written to the file system that holds `path` to
  // disk (syncfs): what outside programs changed there survives a power
  // cut once this returns no error.
  virtual std::error_code sync_file_system(const std::string& path);

  // run_process.
  virtual int run(const CommandLine& command, CommandOutput output);
  // ask_daemon, within kDaemonExchangeLimit.
  virtual DaemonReply ask_daemon(const std::string& socket_path, const std::string& request);

 private:
  struct PrivateFolder;
  std::vector<std::unique_ptr<PrivateFolder>> private_folders_;
};

}  // namespace vesk
