// The shell's slash commands: the table that feeds completion and help.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace velmora {

/// One slash command as completion and help show it.
struct SlashCommand {
  /// Inserted by completion; ends with a blank for commands that take an argument.
  const std::string insert_text;
  /// The usage form shown in the menu.
  const std::string display_text;
  const std::string description;
};

/// The twelve commands in menu order ("/quit" and "/" are accepted but not listed).
[[nodiscard]] std::vector<SlashCommand> build_slash_commands();

/// (usage, description) rows of the help table, in menu order.
[[nodiscard]] std::vector<std::pair<std::string, std::string>> slash_command_help_rows();

}  // namespace velmora
