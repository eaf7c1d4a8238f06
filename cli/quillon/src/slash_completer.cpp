#include "quillon/slash_completer.hpp"

#include "quillon/strip.hpp"

namespace quillon {

SlashCommandCompleter::SlashCommandCompleter(std::vector<SlashCommandSpec> specs)
    : specs_(std::move(specs)) {}

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
  for (const auto& spec : specs_) {
    if (!token.empty() && !strip_view(spec.insert_text).starts_with(token)) continue;
    out.push_back(velmora::term::Completion{
        .text = spec.insert_text,
        .replace_begin = lead,
        .replace_end = word_end,
        .display = spec.display_text,
        .meta = spec.description,
    });
  }
  return out;
}

}  // namespace quillon
