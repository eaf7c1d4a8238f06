// Tab completion of the slash commands at the shell prompt.
//
// The typed token is the first word of the line (after leading blanks) when it begins with "/";
// every command whose insert text starts with it is offered, in table order, and replaces that
// word. "/a" offers "/attach <path>" and "/attachments"; "/attach foo" still offers "/attach"
// (choosing it keeps "foo").
#pragma once

#include <string_view>
#include <vector>

#include "velmora/slash_commands.hpp"
#include "velmora/term/editor_state.hpp"

namespace velmora {

class SlashCommandCompleter final : public velmora::term::Completer {
 public:
  explicit SlashCommandCompleter(std::vector<SlashCommand> commands = build_slash_commands());

  [[nodiscard]] std::vector<velmora::term::Completion> complete(std::string_view text,
                                                                std::size_t cursor) const override;

 private:
  std::vector<SlashCommand> commands_;
};

}  // namespace velmora
