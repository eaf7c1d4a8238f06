#include "velmora/slash_commands.hpp"

namespace velmora {

std::vector<SlashCommand> build_slash_commands() {
  return {
      {"/help", "/help", "show available commands"},
      {"/new", "/new", "open a fresh session"},
      {"/resume ", "/resume <thread_id>", "resume a specific thread"},
      {"/thread", "/thread", "show current thread id"},
      {"/attach ", "/attach <path>", "queue a local attachment"},
      {"/attachments", "/attachments", "list queued attachments"},
      {"/detach ", "/detach <index|all>", "remove queued attachments"},
      {"/clear", "/clear", "clear terminal output"},
      {"/interrupt", "/interrupt", "interrupt the running turn"},
      {"/upgrade", "/upgrade", "upgrade the CLI"},
      {"/thinking", "/thinking", "list cached thinking blocks"},
      {"/exit", "/exit", "exit the shell"},
  };
}

std::vector<std::pair<std::string, std::string>> slash_command_help_rows() {
  std::vector<std::pair<std::string, std::string>> rows;
  for (const auto& command : build_slash_commands()) {
    rows.emplace_back(command.display_text, command.description);
  }
  return rows;
}

}  // namespace velmora
