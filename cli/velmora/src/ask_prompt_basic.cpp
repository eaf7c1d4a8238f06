#include "velmora/ask_prompt_basic.hpp"

#include <algorithm>

#include "velmora/ask_prompt.hpp"
#include "velmora/events/text_clean.hpp"
#include "velmora/json_values.hpp"
#include "velmora/prompt_ask.hpp"
#include "velmora/strip.hpp"

namespace velmora {

namespace {

namespace json = boost::json;
using velmora::events::clean_line;
using velmora::events::clean_text;
using velmora::term::Console;

struct BasicQuestion {
  std::string text;
  std::vector<std::string> labels;
};

BasicQuestion read_question(const json::value& value) {
  BasicQuestion question;
  const auto* map = value.if_object();
  if (map == nullptr) return question;
  question.text = truthy_text(map->if_contains("question"));
  if (const auto* options = map->if_contains("options"); options && options->is_array()) {
    for (const auto& option : options->get_array()) {
      const auto* option_map = option.if_object();
      if (option_map == nullptr) continue;
      std::string label = truthy_text(option_map->if_contains("label"));
      if (!label.empty()) question.labels.push_back(std::move(label));
    }
  }
  return question;
}

/// The numbered reply: 1..n picks that option, anything else is a free-form answer.
std::string resolve_option_reply(const std::vector<std::string>& labels, const std::string& reply) {
  if (!reply.empty() && reply.size() <= 6 &&
      std::all_of(reply.begin(), reply.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
    const std::size_t index = std::stoul(reply);
    if (index >= 1 && index <= labels.size()) return labels[index - 1];
  }
  return reply;
}

}  // namespace

velmora::base::awaitable<json::object> prompt_and_answer_with_basic_input(
    Console& console, const velmora::events::AskPromptRequest& ask_request,
    const AskAnswerOptions& options) {
  const bool quiet = options.suppress_output;
  if (!quiet) {
    console.print("[bold cyan]Agent asked for input[/bold cyan] id=" +
                  Console::escape(clean_line(ask_request.message_id.value_or("-"))));
  }
  json::object answers;
  for (const auto& value : ask_request.questions) {
    const BasicQuestion question = read_question(value);
    // Texts go back exactly as received (the answer map is keyed by them); shown, they are
    // cleaned.
    const std::string text = Console::escape(clean_text(question.text));
    std::string answer;
    if (!question.labels.empty() && options.non_interactive) {
      answer = question.labels.front();
      if (!quiet) {
        console.print("[dim]auto-selected[/dim] " + text + ": " +
                      Console::escape(clean_line(answer)));
      }
    } else if (!question.labels.empty()) {
      console.print("\n[bold]" + text + "[/bold]");
      for (std::size_t i = 0; i < question.labels.size(); ++i) {
        console.print("  " + std::to_string(i + 1) + ". " +
                      Console::escape(clean_line(question.labels[i])));
      }
      std::optional<std::string> first_option = "1";
      const auto reply =
          co_await prompt_ask(console, "Your answer", std::move(first_option), options.read_line);
      std::string trimmed = strip(reply.value_or("1"));
      if (trimmed.empty()) trimmed = "1";
      answer = resolve_option_reply(question.labels, trimmed);
    } else if (options.non_interactive) {
      answer = options.default_freeform_answer;
      if (!quiet) {
        console.print("[dim]auto-filled[/dim] " + text + ": " +
                      Console::escape(clean_line(answer)));
      }
    } else {
      std::optional<std::string> no_default;
      const auto reply =
          co_await prompt_ask(console, text, std::move(no_default), options.read_line);
      answer = reply.value_or(options.default_freeform_answer);
    }
    answers[question.text] = answer;
  }
  co_return answers;
}

velmora::base::awaitable<void> prompt_and_answer(
    Console& console, const velmora::events::AskPromptRequest& ask_request,
    wirelet::AgentWsV3Client& client, AskAnswerOptions options) {
  std::optional<json::object> answers;
  if (should_use_prompt_toolkit_ask_ui(console, options.non_interactive, options.suppress_output)) {
    answers = co_await prompt_and_answer_with_prompt_toolkit(ask_request,
                                                             options.default_freeform_answer);
  }
  if (!answers) {
    answers = co_await prompt_and_answer_with_basic_input(console, ask_request, options);
  }
  if (ask_request.message_id && !ask_request.message_id->empty()) {
    co_await client.send_answer(*ask_request.message_id, std::move(*answers));
  }
}

}  // namespace velmora
