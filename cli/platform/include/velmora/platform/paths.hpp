// Where the user's files live: the home folder, "~" expansion and the XDG base folders.
//
//   auto file = velmora::platform::xdg_config_home() / "velmora" / "credentials.json";
#pragma once

#include <filesystem>
#include <string>

namespace velmora::platform {

/// $HOME when set and non-empty, else the password database's entry, else "/".
[[nodiscard]] std::filesystem::path home_dir();

/// "~" and "~/…" start at the home folder, "~name/…" at that user's; anything else (including
/// an unknown user) is returned unchanged.
[[nodiscard]] std::filesystem::path expand_user(const std::string& path);

/// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
[[nodiscard]] std::filesystem::path xdg_config_home();

/// $XDG_STATE_HOME when it is an absolute path, else ~/.local/state.
[[nodiscard]] std::filesystem::path xdg_state_home();

}  // namespace velmora::platform
