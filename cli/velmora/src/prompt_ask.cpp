#include "velmora/prompt_ask.hpp"

#include "velmora/shell_input.hpp"

namespace velmora {

std::optional<std::string> read_stdin_line() {
  // The shell's reader takes one byte at a time, so the next reader loses nothing.
  return read_raw_shell_input("", std::nullopt);
}

velmora::base::awaitable<std::optional<std::string>> prompt_ask(
    velmora::term::Console& console, std::string_view prompt_markup,
    std::optional<std::string> default_value, BlockingLineReader reader) {
  std::string prompt(prompt_markup);
  if (default_value) {
    prompt += " [bold cyan](" + velmora::term::Console::escape(*default_value) + ")[/bold cyan]";
  }
  console.print(prompt + ": ", "");
  console.flush();
  if (!reader) reader = read_stdin_line;
  auto reply = co_await velmora::base::run_blocking(std::move(reader));
  if (!reply) {
    // Ends the prompt line the user never finished.
    console.print("");
    co_return std::nullopt;
  }
  if (reply->empty() && default_value) co_return default_value;
  co_return reply;
}

}  // namespace velmora
