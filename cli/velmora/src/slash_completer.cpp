#include "velmora/slash_completer.hpp"

#include "velmora/strip.hpp"

namespace velmora {

SlashCommandCompleter::SlashCommandCompleter(std::vector<SlashCommand> commands)
    : commands_(std::move(commands)) {}

std::vector<velmora::term::Completion> SlashCommandCompleter::complete(std::string_view text,
                                                                       std::size_t cursor) const {
  std::vector<velmora::term::Completion> out;
  const std::string_view before = text.substr(0, std::min(cursor, text.size()));
  const std::size_t lead = before.find_first_not_of(WHITESPACE);
  if (lead == std::string_view::npos || before[lead] != '/') return out;
  const std::string_view stripped = before.substr(lead);
  const std::string_view token = stripped.substr(0, stripped.find_first_of(WHITESPACE));
  // The whole first word is replaced, also when the cursor stands inside it or after it.
  const std::size_t word_end = std::min(text.find_first_of(WHITESPACE, lead), text.size());
  for (const auto& command : commands_) {
    if (!token.empty() && !strip_view(command.insert_text).starts_with(token)) continue;
    out.push_back(velmora::term::Completion{
        .text = command.insert_text,
        .replace_begin = lead,
        .replace_end = word_end,
        .display = command.display_text,
        .meta = command.description,
    });
  }
  return out;
}

}  // namespace velmora
