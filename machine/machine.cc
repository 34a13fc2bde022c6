#include "machine/machine.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "config/installation.h"
#include "security/file_io.h"

namespace vesk {

// The update's folder and the folder it lies in, which must stay open as
// long as it does.
struct Machine::PrivateFolder {
  Folder parent;
  std::optional<TemporaryEntry> entry;
};

Machine::Machine() = default;
Machine::~Machine() = default;

std::size_t Machine::config_limit() const { return kMaxConfigBytes; }

ConfigRead Machine::read_config(const std::string& path) {
  return read_config_file(path, config_limit());
}

WriteOutcome Machine::replace_config(const std::string& path, std::string_view content) {
  return replace_config_file(path, content);
}

WriteOutcome Machine::replace_config_with(const std::string& path,
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

std::optional<std::string> Machine::make_private_folder(const std::string& parent) {
  Expected<Folder, std::error_code> opened = open_folder(parent, true);
  if (!opened) return std::nullopt;
  auto folder = std::make_unique<PrivateFolder>(PrivateFolder{std::move(*opened), std::nullopt});
  Expected<TemporaryEntry, std::error_code> entry =
      TemporaryEntry::make(folder->parent, "vesk-update.", EntryKind::kFolder);
  if (!entry) return std::nullopt;
  const std::string path = entry->path();
  folder->entry.emplace(std::move(*entry));
  private_folders_.push_back(std::move(folder));
  return path;
}

std::error_code Machine::remove_private_folder(const std::string& path) {
  const auto found =
      std::find_if(private_folders_.begin(), private_folders_.end(),
                   [&path](const auto& folder) { return folder->entry->path() == path; });
  if (found == private_folders_.end()) return std::make_error_code(std::errc::invalid_argument);
  if (const std::error_code error = (*found)->entry->remove()) return error;
  private_folders_.erase(found);
  return {};
}

bool Machine::copy_file(const std::string& source, const std::string& target) {
  const UniqueFd in = open_regular(source, O_RDONLY);
  if (!in.valid()) return false;
  UniqueFd out(open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!out.valid()) return false;
  std::array<char, 65536> chunk{};
  for (;;) {
    const ssize_t count = read(in.get(), chunk.data(), chunk.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) return out.close() == 0;
    if (write_all(out.get(), {chunk.data(), static_cast<std::size_t>(count)})) return false;
  }
}

std::error_code Machine::sync_file_system(const std::string& path) {
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid() || syncfs(fd.get()) != 0) return last_error();
  return {};
}

int Machine::run(const CommandLine& command, CommandOutput output) {
  return run_process(command, output);
}

DaemonReply Machine::ask_daemon(const std::string& socket_path, const std::string& request) {
  return vesk::ask_daemon(socket_path, request);
}

}  // namespace vesk
