#include "config/installation.h"

#include <unistd.h>

#include <sstream>

namespace vesk {

std::vector<std::string> system_file_names() {
  std::vector<std::string> names;
  std::istringstream words(SYSTEM_FILES);
  for (std::string name; words >> name;) names.push_back(name);
  return names;
}

std::array<SecurityTarget, 5> security_policy() {
  return {{{"PASSES", "admin_pass"},
           {"PASSES", "frp_pass"},
           {"PASSES", "smtp_pass1"},
           {"PASSES", "smtp_pass2"},
           {"PASSES", "sql_pass"}}};
}

std::string chmod_operand(mode_t mode) {
  std::ostringstream operand;
  operand << std::oct << (mode & 07777);
  return operand.str();
}

bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool is_writable(const std::string& path) { return access(path.c_str(), W_OK) == 0; }

std::string choose_config_path(const std::function<bool(const std::string&)>& exists,
                               const std::string& installed_config) {
  return exists(LOCAL_CONFIG) ? LOCAL_CONFIG : installed_config;
}

}  // namespace vesk
