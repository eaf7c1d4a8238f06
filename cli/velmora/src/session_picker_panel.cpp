#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "velmora/ask_prompt.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/platform/env.hpp"
#include "velmora/session_picker.hpp"
#include "velmora/shell_input.hpp"
#include "velmora/strip.hpp"
#include "velmora/term/inline_app.hpp"
#include "velmora/terminal_mode.hpp"

namespace velmora {

using velmora::term::Key;
using velmora::term::KeyCode;
using velmora::term::KeyResult;

bool load_prompt_toolkit_session_picker_components() {
  configure_prompt_toolkit_runtime();
  const auto term = velmora::platform::get_env("TERM");
  return !(term && strip(*term) == "dumb");
}

bool session_picker_panel_available(const TerminalFacts& facts) {
  if (!facts.stdin_tty || !stdout_supports_ansi(facts) || !facts.stdout_utf8) return false;
  return load_prompt_toolkit_session_picker_components() &&
         load_prompt_toolkit_ask_components().has_value();
}

boost::asio::awaitable<std::optional<std::string>> pick_saved_session_with_prompt_toolkit(
    const std::vector<velmora::session_store::SessionRecord>& sessions) {
  if (!session_picker_panel_available(current_terminal_facts())) co_return std::nullopt;
  if (SessionPickerNavigator(sessions).entries().empty()) co_return std::nullopt;
  const auto executor = co_await boost::asio::this_coro::executor;
  const velmora::term::Console probe({.color_system = "auto"});
  auto screen = velmora::term::borrow_screen(executor, probe.color_system());
  try {
    co_return co_await run_session_picker_panel(*screen, sessions);
  } catch (const velmora::base::OSError&) {
    // The terminal cannot be put in raw mode after all: the numbered list takes over.
  }
  co_return std::nullopt;
}

boost::asio::awaitable<std::optional<std::string>> run_session_picker_panel(
    velmora::term::Screen& screen,
    const std::vector<velmora::session_store::SessionRecord>& sessions, Clock::time_point now) {
  SessionPickerNavigator navigator(sessions, now);
  if (navigator.entries().empty()) co_return std::nullopt;
  std::optional<std::string> result;
  velmora::term::InlineApp app(
      screen,
      {.title = "Resume",
       .style = build_ask_style(),
       .erase_when_done = true,
       .focus_style = "class:ask-option-selected",
       .pinned_style = "class:ask-custom-label"},
      [&navigator] { return navigator.render_fragments(); },
      [&navigator, &result](const Key& key) {
        switch (key.code) {
          case KeyCode::up:
            navigator.move(-1);
            return KeyResult::changed;
          case KeyCode::down:
            navigator.move(1);
            return KeyResult::changed;
          case KeyCode::backspace:
            navigator.backspace_filter();
            return KeyResult::changed;
          case KeyCode::enter:
            result = navigator.current_thread_id();
            return KeyResult::exit;
          case KeyCode::escape:
            return KeyResult::exit;
          case KeyCode::control:
            return key.letter == 'c' ? KeyResult::exit : KeyResult::ignored;
          case KeyCode::character:
          case KeyCode::paste: {
            if (key.alt) return KeyResult::ignored;
            std::string text;
            for (char c : key.text) {
              if (c != '\n' && c != '\r' && c != '\t') text += c;
            }
            if (text.empty()) return KeyResult::ignored;
            navigator.append_filter(text);
            return KeyResult::changed;
          }
          default:
            return KeyResult::ignored;
        }
      });
  co_await app.run();
  co_return result;
}

}  // namespace velmora
