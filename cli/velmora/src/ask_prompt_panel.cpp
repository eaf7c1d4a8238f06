#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "velmora/ask_prompt.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/platform/env.hpp"
#include "velmora/shell_input.hpp"
#include "velmora/strip.hpp"
#include "velmora/term/inline_app.hpp"
#include "velmora/terminal_mode.hpp"

namespace velmora {
namespace {

using velmora::term::Key;
using velmora::term::KeyCode;
using velmora::term::KeyResult;

/// Text a key adds to the custom answer: typed characters, and pastes on one line.
std::optional<std::string> typed_text(const Key& key) {
  if (key.alt) return std::nullopt;
  if (key.code == KeyCode::character) return key.text;
  if (key.code != KeyCode::paste) return std::nullopt;
  std::string text = key.text;
  for (char& c : text) {
    if (c == '\n' || c == '\t') c = ' ';
  }
  return text;
}

}  // namespace

velmora::term::StyleSheet build_ask_style() {
  return velmora::term::StyleSheet{
      {"ask-title", "bold ansibrightcyan"},
      {"ask-hint", "ansibrightblack"},
      {"ask-question", "bold"},
      {"ask-tab", "ansibrightblack"},
      {"ask-tab-current", "bold ansibrightcyan"},
      {"ask-option", ""},
      {"ask-option-selected", "bold ansibrightgreen"},
      {"ask-custom-label", "bold ansibrightmagenta"},
      {"ask-custom-text", ""},
      {"ask-custom-cursor", "bold ansibrightcyan"},
  };
}

std::optional<AskPromptComponents> load_prompt_toolkit_ask_components() {
  configure_prompt_toolkit_runtime();
  const auto term = velmora::platform::get_env("TERM");
  if (term && strip(*term) == "dumb") return std::nullopt;
  return AskPromptComponents{build_ask_style()};
}

bool should_use_prompt_toolkit_ask_ui(const velmora::term::Console& console, bool non_interactive,
                                      bool suppress_output) {
  return should_use_prompt_toolkit_ask_ui(console, non_interactive, suppress_output,
                                          current_terminal_facts());
}

bool should_use_prompt_toolkit_ask_ui(const velmora::term::Console& console, bool non_interactive,
                                      bool suppress_output, const TerminalFacts& facts) {
  if (non_interactive || suppress_output) return false;
  if (!facts.stdin_tty || !stdout_supports_ansi(facts) || !facts.stdout_utf8) return false;
  if (console.no_color()) return false;
  return load_prompt_toolkit_ask_components().has_value();
}

boost::asio::awaitable<std::optional<AskAnswers>> prompt_and_answer_with_prompt_toolkit(
    const velmora::events::AskPromptRequest& ask_request, std::string default_freeform_answer) {
  if (!load_prompt_toolkit_ask_components()) co_return std::nullopt;
  const auto executor = co_await boost::asio::this_coro::executor;
  const velmora::term::Console probe({.color_system = "auto"});
  auto screen = velmora::term::borrow_screen(executor, probe.color_system());
  try {
    co_return co_await run_ask_panel(*screen, ask_request, std::move(default_freeform_answer));
  } catch (const velmora::base::OSError&) {
    // The terminal cannot be put in raw mode after all: the plain questions take over.
  }
  co_return std::nullopt;
}

boost::asio::awaitable<std::optional<AskAnswers>> run_ask_panel(
    velmora::term::Screen& screen, const velmora::events::AskPromptRequest& ask_request,
    std::string default_freeform_answer) {
  AskPromptNavigator navigator(ask_request, std::move(default_freeform_answer));
  std::optional<AskAnswers> result;
  velmora::term::InlineApp app(
      screen,
      {.title = "Agent asked for input",
       .style = build_ask_style(),
       .erase_when_done = false,
       .focus_style = "class:ask-option-selected",
       .pinned_style = "class:ask-custom-label"},
      [&navigator, &screen] { return navigator.render_fragments(screen.width(), screen.height()); },
      [&navigator, &result](const Key& key) {
        switch (key.code) {
          case KeyCode::left:
            navigator.move_question(-1);
            return KeyResult::changed;
          case KeyCode::right:
            navigator.move_question(1);
            return KeyResult::changed;
          case KeyCode::up:
            navigator.move_option(-1);
            return KeyResult::changed;
          case KeyCode::down:
            navigator.move_option(1);
            return KeyResult::changed;
          case KeyCode::tab:
            navigator.toggle_custom_mode();
            return KeyResult::changed;
          case KeyCode::backtab:
          case KeyCode::escape:
            navigator.cancel_custom_mode();
            return KeyResult::changed;
          case KeyCode::backspace:
            navigator.backspace_custom_text();
            return KeyResult::changed;
          case KeyCode::enter:
            if (auto answers = navigator.accept_current()) {
              result = std::move(answers);
              return KeyResult::exit;
            }
            return KeyResult::changed;
          case KeyCode::control:
            return key.letter == 'c' ? KeyResult::exit : KeyResult::ignored;
          default:
            break;
        }
        if (!navigator.custom_mode()) return KeyResult::ignored;
        if (auto text = typed_text(key); text && !text->empty()) {
          navigator.append_custom_text(*text);
          return KeyResult::changed;
        }
        return KeyResult::ignored;
      });
  co_await app.run();
  co_return result;
}

}  // namespace velmora
