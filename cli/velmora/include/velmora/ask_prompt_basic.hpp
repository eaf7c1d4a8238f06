// Answering the agent's questions: the keyboard panel where the terminal allows it, otherwise
// plain numbered prompts, and automatic answers in non-interactive runs so a one-shot run never
// blocks.
#pragma once

#include <string>

#include <boost/json/object.hpp>

#include "velmora/events/question.hpp"
#include "velmora/prompt_ask.hpp"
#include "velmora/term/console.hpp"
#include "wirelet/client.hpp"

namespace velmora {

struct AskAnswerOptions {
  bool non_interactive = false;
  std::string default_freeform_answer = "稍后提供";
  /// Non-interactive plain output: answer without printing anything.
  bool suppress_output = false;
  /// Where the plain prompts read their replies; standard input when empty.
  BlockingLineReader read_line;
};

/// Question text → answer, one entry per distinct text (a later question wins). Free-form
/// questions without an answer get the default; an option question in a non-interactive run
/// its first option.
velmora::base::awaitable<boost::json::object> prompt_and_answer_with_basic_input(
    velmora::term::Console& console, const velmora::events::AskPromptRequest& ask_request,
    const AskAnswerOptions& options);

/// Collects the answers (panel, then the plain prompts if the panel was not used or was
/// cancelled) and sends them when the request has a message id. Send errors propagate.
velmora::base::awaitable<void> prompt_and_answer(velmora::term::Console& console,
                                           const velmora::events::AskPromptRequest& ask_request,
                                           wirelet::AgentWsV3Client& client,
                                           AskAnswerOptions options = {});

}  // namespace velmora
