#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace vesk {

// A fresh folder under the temp directory, removed with what it holds when
// the object goes, and its files by name.
struct TempFolder {
  TempFolder() = default;
  ~TempFolder() { std::filesystem::remove_all(path); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  void write(const std::string& name, const std::string& text) const {
    std::filesystem::create_directories((path / name).parent_path());
    std::ofstream(path / name) << text;
  }
  std::string read(const std::string& name) const {
    std::ostringstream text;
    text << std::ifstream(path / name).rdbuf();
    return text.str();
  }

  const std::filesystem::path path = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "vesk-test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no temp folder");
    return pattern;
  }();
};

}  // namespace vesk
