#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "config/config_file.h"
#include "config/replacement_file.h"
#include "console/admin_tool.h"
#include "console/globals.h"
#include "security/file_io.h"
#include "security/unique_fd.h"

namespace vesk {

namespace {

// An operator's path as a command operand: one that begins with "-" is
// given a "./" so that no program reads it as an option.
std::string as_operand(const std::string& path) {
  return path.starts_with("-") ? "./" + path : path;
}

// A new folder of mode 0700 under `parent`, made after removing the
// folders of its pattern that killed runs left there. remove() removes it
// with its contents; the object removes it when it goes if nobody did.
// Empty path() when it could not be made.
class PrivateFolder {
 public:
  explicit PrivateFolder(const std::string& parent) : path_(parent + "/" + kPrefix + "XXXXXX") {
    if (const std::optional<Folder> scratch = open_folder(parent, true)) {
      remove_leftovers(*scratch, kPrefix, true);
    }
    if (mkdtemp(path_.data()) == nullptr) {
      path_.clear();
      return;
    }
    lock_.reset(open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (lock_.valid()) hold_against_cleanup(lock_.get());
  }
  ~PrivateFolder() { (void)remove(); }
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;

  const std::string& path() const { return path_; }

  // False when the folder or part of it is still there.
  bool remove() {
    if (path_.empty()) return true;
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    if (error) return false;
    path_.clear();
    lock_.reset();
    return true;
  }

 private:
  static constexpr const char* kPrefix = "vesk-update.";
  std::string path_;
  UniqueFd lock_;
};

// Copies the regular file at `source` into the new file `target` (mode
// 0600). False when the source is missing, unreadable or not a regular
// file (a FIFO is not waited on), or when the copy fails.
bool copy_regular_file(const std::string& source, const std::string& target) {
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
    if (!write_all(out.get(), {chunk.data(), static_cast<std::size_t>(count)})) return false;
  }
}

}  // namespace

void AdminTool::perform_update() {
  if (!is_sealed()) {
    io.out << coloured_line(YELLOW, "\n[!] System is OPEN (Stage 1/2).")
           << "    Use 'scp' or 'cp' to update files directly.\n";
    return;
  }
  ConfigRead config = machine.read_config(config_path);
  if (!config) {
    // Unreadable is not "remote updates off": the operator is told why.
    io.out.flush();
    io.err << coloured_line(RED, "[-] Error: " + read_error_message(config_path, config.error()));
    return;
  }
  const bool remote_allowed = remote_updates_allowed((*config).view());

  io.out << coloured_line(CYAN, "\n--- PRODUCTION SYSTEM UPDATE ---")
         << "Remote Updates Allowed: " << (remote_allowed ? GREEN + "YES" : RED + "NO") << RESET
         << "\n"
         << "Enter Package Path (.tar.gz): ";
  io.out.flush();
  std::string package;
  io.in >> package;

  // What tar extracts: the operator's file after authentication, or the
  // private copy whose signature was verified, which nobody else can swap.
  std::string archive = as_operand(package);
  std::optional<PrivateFolder> verified_copies;
  bool approved = false;
  if (!remote_allowed) {
    io.out << coloured_line(YELLOW, "[!] Remote updates disabled. Physical Auth required.");
    approved = authenticate_admin();
  } else {
    io.out << "Enter Signature Path (.sig): ";
    io.out.flush();
    std::string signature;
    io.in >> signature;
    io.out << "[*] Verifying Digital Signature...\n";
    if (!machine.exists(PUBLIC_KEY_PATH)) {
      io.out << coloured_line(RED, "[-] Error: " + PUBLIC_KEY_PATH + " not found.");
    } else {
      const PrivateFolder& folder = verified_copies.emplace(paths.scratch_dir);
      archive = folder.path() + "/package";
      const std::string signature_copy = folder.path() + "/signature";
      approved = !folder.path().empty() && copy_regular_file(package, archive) &&
                 copy_regular_file(signature, signature_copy) &&
                 run_command({"openssl", "dgst", "-sha256", "-verify", PUBLIC_KEY_PATH,
                              "-signature", signature_copy, archive},
                             CommandOutput::kDiscard) == 0;
      io.out << (approved ? coloured_line(GREEN, "[+] Signature VERIFIED. Package Trusted.")
                          : coloured_line(RED, "[-] ALERT: Signature Verification FAILED."));
    }
  }
  // The private copies go as soon as they are of no more use; a folder
  // that stays behind is the operator's to know about.
  const auto remove_copies = [this, &verified_copies] {
    if (verified_copies && !verified_copies->remove()) {
      io.out.flush();
      io.err << coloured_line(RED, "[-] Error: Could not remove " + verified_copies->path());
    }
  };
  if (!approved) {
    remove_copies();
    return;
  }

  io.out << "[*] Unlocking Application Binary ONLY...\n";
  run_command({"sudo", "chattr", "-i", APP_BINARY});
  io.out << "[*] Applying Update...\n";
  const bool extracted = run_command({"tar", "-xzf", archive}) == 0;
  io.out << (extracted ? coloured_line(GREEN, "[+] Update Successful.")
                       : coloured_line(RED, "[-] Update Failed."));
  // The binary is locked again whatever the extraction did.
  if (run_command({"sudo", "chattr", "+i", APP_BINARY}) != 0) {
    io.out << coloured_line(RED, "[-] Error: Locking Failed.");
  }
  remove_copies();
}

}  // namespace vesk
