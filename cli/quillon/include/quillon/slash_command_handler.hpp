// The shell's slash commands: a submitted line whose first word is a command is carried out
// here and never sent to the agent.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace quillon {

/// (command, remainder): split at the first blank, both trimmed; no quoting, so
/// "/attach my file.pdf" has the argument "my file.pdf".
[[nodiscard]] std::pair<std::string, std::string> split_shell_command(std::string_view raw);

}  // namespace quillon
