// Answering the agent's questions (AskUserQuestion requests).
//
// On a capable terminal the questions are shown in a keyboard-driven panel: question tabs,
// the options of the current question, and a free-form "custom answer" editor. The navigator
// holds the panel's state and renders it; the panel function runs it on the Screen.
//
//   AskPromptNavigator nav(request, "稍后提供");
//   nav.move_option(1);
//   if (auto answers = nav.accept_current()) send(*answers);   // every question answered
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "velmora/events/question.hpp"
#include "velmora/term/console.hpp"
#include "velmora/term/fragments.hpp"
#include "velmora/term/screen.hpp"
#include "velmora/terminal_mode.hpp"

namespace velmora {

/// Question text to answer text; a repeated question text keeps one entry (the later wins).
using AskAnswers = boost::json::object;

/// One question of the panel.
struct AskPromptQuestionState {
  std::string question_text;
  /// Option labels in the order given; empty for a free-form question.
  std::vector<std::string> labels;
  /// Highlighted option, 0-based, within `labels` when there are any.
  int selected_index = 0;
  std::string custom_text;
  /// The accepted answer is `custom_text` rather than the highlighted option.
  bool use_custom_text = false;
  bool answered = false;
};

/// The text of a question map and its option labels, as both flows read them: a missing or
/// empty question is "", options without a non-empty "label" are skipped, other values are
/// taken in their text form.
[[nodiscard]] std::pair<std::string, std::vector<std::string>> read_ask_question(
    const boost::json::value& question);

class AskPromptNavigator {
 public:
  AskPromptNavigator(const velmora::events::AskPromptRequest& request,
                     std::string default_freeform_answer);

  [[nodiscard]] const std::optional<std::string>& message_id() const noexcept {
    return message_id_;
  }
  [[nodiscard]] const std::string& default_freeform_answer() const noexcept {
    return default_freeform_answer_;
  }
  [[nodiscard]] const std::vector<AskPromptQuestionState>& questions() const noexcept {
    return questions_;
  }
  [[nodiscard]] int current_index() const noexcept { return current_index_; }
  /// Keys edit the current question's custom text.
  [[nodiscard]] bool custom_mode() const noexcept { return custom_mode_; }
  /// The current question; none when the request has no questions.
  [[nodiscard]] const AskPromptQuestionState* current() const noexcept;

  void move_question(int delta);
  void move_option(int delta);
  void toggle_custom_mode();
  void append_custom_text(std::string_view text);
  void backspace_custom_text();
  void cancel_custom_mode();
  /// Confirms the current question and moves to the next open one; the answers once every
  /// question is confirmed.
  [[nodiscard]] std::optional<AskAnswers> accept_current();
  /// Answers of all questions as they stand (questions with empty text left out).
  [[nodiscard]] AskAnswers answers() const;

  /// The panel for a screen of `width` x `height` (0: unbounded). A question or label too
  /// long to leave the rest of the panel on screen is cut, "…" marking the cut; the answers
  /// keep it whole.
  [[nodiscard]] velmora::term::Fragments render_fragments(int width = 0, int height = 0) const;

 private:
  [[nodiscard]] std::string resolved_answer(const AskPromptQuestionState& question) const;
  [[nodiscard]] std::optional<int> next_unanswered_index(int start) const;
  AskPromptQuestionState* current_mutable() noexcept;

  std::optional<std::string> message_id_;
  std::string default_freeform_answer_;
  std::vector<AskPromptQuestionState> questions_;
  /// Index into questions_ (0 when there are none).
  int current_index_ = 0;
  bool custom_mode_ = false;
};

/// What the question panel is built from; absent where it cannot run.
struct AskPromptComponents {
  velmora::term::StyleSheet style;
};

/// The panel's style classes ("ask-title", "ask-hint", "ask-question", "ask-tab",
/// "ask-tab-current", "ask-option", "ask-option-selected", "ask-custom-label",
/// "ask-custom-text", "ask-custom-cursor").
[[nodiscard]] velmora::term::StyleSheet build_ask_style();

/// Configures the prompt runtime, then the components; none on a terminal that cannot move the
/// cursor (TERM=dumb).
[[nodiscard]] std::optional<AskPromptComponents> load_prompt_toolkit_ask_components();

/// The panel is used only for an interactive, visible run on an interactive terminal with ANSI
/// and Unicode output and colour on.
[[nodiscard]] bool should_use_prompt_toolkit_ask_ui(const velmora::term::Console& console,
                                                    bool non_interactive, bool suppress_output);
[[nodiscard]] bool should_use_prompt_toolkit_ask_ui(const velmora::term::Console& console,
                                                    bool non_interactive, bool suppress_output,
                                                    const TerminalFacts& facts);

/// Runs the panel (framed "Agent asked for input") until every question is confirmed; none
/// when the panel cannot be used, on Ctrl+C, or when the input ends. Uses the current Screen,
/// or one of its own on the standard streams. Runs on the event loop; other tasks (the receive
/// loop) keep running meanwhile.
boost::asio::awaitable<std::optional<AskAnswers>> prompt_and_answer_with_prompt_toolkit(
    const velmora::events::AskPromptRequest& ask_request, std::string default_freeform_answer);

/// The panel itself on `screen` (no checks of the terminal); none on Ctrl+C or end of input.
boost::asio::awaitable<std::optional<AskAnswers>> run_ask_panel(
    velmora::term::Screen& screen, const velmora::events::AskPromptRequest& ask_request,
    std::string default_freeform_answer);

}  // namespace velmora
