#include "velmora/platform/env.hpp"

#include <cstdlib>

namespace velmora::platform {

std::optional<std::string> get_env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void set_env(const std::string& name, const std::string& value, bool overwrite) {
  ::setenv(name.c_str(), value.c_str(), overwrite ? 1 : 0);
}

void unset_env(const std::string& name) { ::unsetenv(name.c_str()); }

}  // namespace velmora::platform
