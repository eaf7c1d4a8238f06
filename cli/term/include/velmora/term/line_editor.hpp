// LineEditor: the prompt session of the interactive shell, drawn inline by the Screen.
//
// One editor lives as long as the shell, so its in-memory history lasts between lines. Each
// `prompt` shows the styled message, a placeholder while the line is empty, a completion menu
// (display and meta columns) with room kept for it below the line, and a one-line bottom
// toolbar. Keys: arrows, Home/End, Ctrl+A/E/B/F/K/U/W/Y, Alt+B/F, Delete, Backspace, Tab and
// Shift+Tab through the menu, Up/Down through the menu or the history, Ctrl+R reverse search,
// Alt+Enter or Ctrl+J for a new line, Ctrl+L to clear the screen. A bracketed paste stays one
// input, line breaks included. Ctrl+C and Ctrl+D on an empty line end the prompt with the
// interrupt and end-of-input outcomes.
//
// Threading: on the event-loop thread of the Screen.
//
//   LineEditor editor(screen);
//   auto result = co_await editor.prompt({.message = {{"class:prompt", "> "}}});
//   if (result.outcome == PromptOutcome::accepted) use(result.text);
#pragma once

#include <string>

#include <boost/asio/awaitable.hpp>

#include "velmora/term/editor_state.hpp"
#include "velmora/term/fragments.hpp"
#include "velmora/term/screen.hpp"

namespace velmora::term {

struct PromptOptions {
  Fragments message;
  Fragments placeholder;
  Fragments bottom_toolbar;
  const Completer* completer = nullptr;
  bool complete_while_typing = true;
  /// Classes used: those named by the fragments, plus "completion-menu.completion",
  /// "completion-menu.completion.current", "completion-menu.meta.completion",
  /// "completion-menu.meta.completion.current" (defaults apply when absent).
  StyleSheet style;
  /// Rows kept below the line for the menu (counting the line itself) while completing.
  int reserve_space_for_menu = 8;
};

enum class PromptOutcome { accepted, interrupted, end_of_input };

struct PromptResult {
  PromptOutcome outcome = PromptOutcome::accepted;
  /// The line as typed (accepted), else empty.
  std::string text;
};

/// What the prompt shows at `width` x `height`; `done` draws the line alone, as it stays in the
/// scrollback once submitted.
[[nodiscard]] AppView layout_prompt(const EditorState& state, const PromptOptions& options,
                                    int width, int height, ColorSystem colors, bool done = false);

class LineEditor {
 public:
  explicit LineEditor(Screen& screen) : screen_(screen) {}

  /// Reads one line. Throws what Screen::attach throws when the terminal cannot be used.
  boost::asio::awaitable<PromptResult> prompt(const PromptOptions& options);

  [[nodiscard]] History& history() noexcept { return history_; }

 private:
  Screen& screen_;
  History history_;
};

}  // namespace velmora::term
