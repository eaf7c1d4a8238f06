// A plain question on the terminal: "Your answer (1): ", one line read from standard input.
// The fallback prompts of the ask panel and the session picker use it. Ctrl+C ends a prompt
// that reads standard input at once, as the end of input would (`interrupt_plain_prompt`).
//
//   auto reply = co_await prompt_ask(console, "Resume session", "1");   // nothing at EOF
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/base/async.hpp"
#include "velmora/term/console.hpp"

namespace velmora {

/// Blocking: one line without its line break, or nothing at the end of input.
using BlockingLineReader = std::function<std::optional<std::string>()>;

/// Prints `prompt_markup`, the default in bold cyan brackets and ": ", then reads a reply on a
/// worker thread so the event loop keeps running. An empty reply gives the default; the end of
/// input, or an interrupt of a prompt reading standard input, gives nothing. The reply is
/// returned as typed.
velmora::base::awaitable<std::optional<std::string>> prompt_ask(
    velmora::term::Console& console, std::string_view prompt_markup,
    std::optional<std::string> default_value = std::nullopt, BlockingLineReader reader = {});

/// Ends the prompts waiting for a line of standard input, if any, as if the input had ended;
/// their workers stop reading, so the next reader gets every key typed after. False when no
/// such prompt waits. Event-loop thread (the Ctrl+C handler).
bool interrupt_plain_prompt();

}  // namespace velmora
