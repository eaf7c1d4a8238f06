#include "velmora/platform/paths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <optional>
#include <vector>

#include "velmora/platform/env.hpp"

namespace velmora::platform {
namespace {

// getpwnam/getpwuid are not thread-safe; the _r forms are, and uploads run on worker threads.
std::optional<std::string> passwd_home(const std::string* name) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  const int rc = name != nullptr
                     ? ::getpwnam_r(name->c_str(), &entry, buf.data(), buf.size(), &found)
                     : ::getpwuid_r(::getuid(), &entry, buf.data(), buf.size(), &found);
  if (rc != 0 || found == nullptr || found->pw_dir == nullptr) return std::nullopt;
  return std::string(found->pw_dir);
}

std::filesystem::path xdg_folder(const char* variable, const char* fallback) {
  const auto value = get_env(variable);
  if (value && !value->empty() && value->front() == '/') return *value;
  // A relative value is invalid in the XDG rules and would depend on the working folder.
  return home_dir() / fallback;
}

}  // namespace

std::filesystem::path home_dir() {
  if (auto home = get_env("HOME"); home && !home->empty()) return *home;
  if (auto home = passwd_home(nullptr)) return *home;
  return "/";
}

std::filesystem::path expand_user(const std::string& path) {
  if (path.empty() || path.front() != '~') return path;
  const auto slash = path.find('/');
  const std::string user =
      path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  std::string home;
  if (user.empty()) {
    home = home_dir().string();
  } else if (auto other = passwd_home(&user)) {
    home = *other;
  } else {
    return path;
  }
  if (slash == std::string::npos) return home;
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home == "/") home.clear();
  return home + path.substr(slash);
}

std::filesystem::path xdg_config_home() { return xdg_folder("XDG_CONFIG_HOME", ".config"); }

std::filesystem::path xdg_state_home() { return xdg_folder("XDG_STATE_HOME", ".local/state"); }

}  // namespace velmora::platform
