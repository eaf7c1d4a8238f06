// Process environment helpers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmora::platform {

/// The variable's value, or nothing when it is not set (an empty value is returned as "").
[[nodiscard]] std::optional<std::string> get_env(const std::string& name);

/// Sets a variable (overwrite decides whether an existing value is replaced).
void set_env(const std::string& name, const std::string& value, bool overwrite = true);

void unset_env(const std::string& name);

}  // namespace velmora::platform
