#pragma once

#include <filesystem>
#include <string>

namespace vesk::testing {

// A fresh directory under the system temp folder, removed with everything
// in it when the object dies (also when an assertion fails).
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Writes `content` to `path` byte for byte, creating parent directories.
void write_file(const std::filesystem::path& path, const std::string& content);

// The whole content of `path`; throws when it cannot be read.
std::string read_file(const std::filesystem::path& path);

}  // namespace vesk::testing
