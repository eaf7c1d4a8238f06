// InlineApp: runs a navigator (pure state with a `render_fragments`) as a framed panel in the
// Screen's inline region, dispatching keys to a handler until it says to exit.
//
// The panel takes the terminal's full width, wraps long lines, hides the cursor, and keeps the
// row of the `focus_style` fragment on screen when it is taller than the terminal, with the
// rows from the `pinned_style` fragment down fixed at its bottom. When it ends
// it is erased (`erase_when_done`) or left in the scrollback as last drawn.
//
//   InlineApp app(screen, {.title = "Resume", .style = sheet, .erase_when_done = true},
//                 [&] { return navigator.render_fragments(); },
//                 [&](const Key& key) { ...; return KeyResult::changed; });
//   bool finished = co_await app.run();   // false when the input ended first
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "velmora/term/fragments.hpp"
#include "velmora/term/keys.hpp"
#include "velmora/term/screen.hpp"

namespace velmora::term {

enum class KeyResult { ignored, changed, exit };

struct InlineAppOptions {
  std::string title;
  StyleSheet style;
  bool erase_when_done = false;
  /// Style text of the fragment that must stay visible ("class:ask-option-selected").
  std::string focus_style;
  /// Style text of the fragment whose row and all rows below it stay on screen when the panel
  /// is taller than the terminal ("class:ask-custom-label": the search or answer line).
  std::string pinned_style;
};

class InlineApp {
 public:
  InlineApp(Screen& screen, InlineAppOptions options, std::function<Fragments()> render,
            std::function<KeyResult(const Key&)> on_key);

  /// Shows the panel until the handler returns `exit` (true) or the input ends (false).
  boost::asio::awaitable<bool> run();
  /// Draws the panel again (after a change made outside the key handler).
  void invalidate();

  /// The rows of the panel at `width` (exposed for tests).
  [[nodiscard]] AppView layout(int width, int height) const;

 private:
  Screen& screen_;
  InlineAppOptions options_;
  std::function<Fragments()> render_;
  std::function<KeyResult(const Key&)> on_key_;
};

/// The screen to draw a panel on: the current one, else a new one on the standard streams
/// for as long as the returned pointer lives.
[[nodiscard]] std::shared_ptr<Screen> borrow_screen(const boost::asio::any_io_executor& ex,
                                                    ColorSystem colors = ColorSystem::standard);

}  // namespace velmora::term
