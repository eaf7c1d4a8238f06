// Screen: the one writer to the terminal while the shell runs.
//
// It keeps an inline region below the output: the live lines (status line, sticky plan), then
// the rows of the attached app (the prompt with its menu and toolbar, or a panel). Everything
// printed through it (it is the console's sink) is written above the region, which is then
// drawn again, so output streams above a prompt without disturbing it. Repaints rewrite only
// from the first row that changed. The screen never switches to the alternate screen, never
// captures the mouse and never asks the terminal where the cursor is; the scrollback stays
// intact.
//
// An attached app takes the keyboard: the terminal is in raw mode with bracketed paste on until
// it detaches. Window-size changes redraw the region; a job-control stop (SIGTSTP) removes it
// and restores the terminal, and SIGCONT draws it again.
//
// Threading: construct, attach, read keys and detach on the event-loop thread. `write`,
// `update` and `commit` may be called from any thread (a worker printing progress); they
// serialise on an internal mutex. An app's `layout` is called on the loop thread only.
//
//   auto screen = std::make_shared<Screen>(io.get_executor());
//   console->set_sink(screen);        // prints go above the region
//   renderer_options.live_display = screen;
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "velmora/term/console.hpp"
#include "velmora/term/keys.hpp"
#include "velmora/term/live_display.hpp"
#include "velmora/term/region_painter.hpp"

namespace velmora::term {

/// What an app shows: rows already laid out for the width it was given.
struct AppView {
  std::vector<PaintRow> rows;
  int cursor_row = 0;
  int cursor_col = 0;
  bool cursor_visible = true;
  /// Row that must stay on screen when the view is taller than the terminal (the cursor's row
  /// when the cursor is visible).
  int focus_row = 0;
};

/// An inline app the screen draws; `layout` is asked again whenever the size changes or the
/// app calls `Screen::invalidate`. A `height` of 0 asks for the whole view (what an app leaves
/// in the scrollback), which may be taller than the terminal.
class ScreenApp {
 public:
  virtual ~ScreenApp() = default;
  [[nodiscard]] virtual AppView layout(int width, int height) = 0;
};

struct ScreenOptions {
  int in_fd = 0;
  int out_fd = 1;
  ColorSystem colors = ColorSystem::standard;
  /// Stops the process for a job-control suspend (raise(SIGSTOP) when empty); tests replace it.
  std::function<void()> stop_process;
};

class Screen final : public OutputSink, public LiveDisplay {
 public:
  explicit Screen(const boost::asio::any_io_executor& ex, ScreenOptions options = {});
  ~Screen() override;
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;

  /// The screen most recently created on this process's terminal and still alive, if any;
  /// panels opened without one make their own.
  [[nodiscard]] static Screen* current() noexcept;

  // OutputSink: printed text goes above the region.
  void write(std::string_view bytes) override;
  void flush() override {}

  // LiveDisplay
  void update(std::vector<std::string> lines) override;
  void commit(std::vector<std::string> lines) override;

  /// Shows `app` and gives it the keyboard. An app already shown (the prompt, when a question
  /// arrives) is covered: hidden, its keys held, until `app` is detached. Throws
  /// velmora::base::RuntimeError when `app` is already attached, velmora::base::OSError when the
  /// input is not a terminal.
  void attach(ScreenApp& app);
  /// Asks the app on top for a new view and repaints.
  void invalidate();
  /// Removes `app`: its last view is erased, or with `keep` written into the scrollback; the
  /// app it covered is shown again. A covered app is just forgotten.
  void detach(ScreenApp& app, bool keep);
  /// Removes the app on top.
  void detach(bool keep);
  /// True while some app is attached.
  [[nodiscard]] bool attached() const noexcept;

  /// The next key for the app on top when called; a covered app's reader waits until it is
  /// uncovered. Nothing at the end of input (or a terminal hang-up), or when the caller's app
  /// was detached meanwhile.
  boost::asio::awaitable<std::optional<Key>> read_key();

  /// True when a key has already been read and decoded (`read_key` returns it at once).
  [[nodiscard]] bool key_ready() const noexcept;

  /// Clears the whole screen (Ctrl+L) and draws the region at the top.
  void clear_screen();

  /// Size in columns and rows (80x24 when the terminal does not say).
  [[nodiscard]] int width() const;
  [[nodiscard]] int height() const;
  [[nodiscard]] ColorSystem colors() const noexcept;
  /// False when the output is no terminal: everything passes through and nothing is drawn.
  [[nodiscard]] bool is_terminal() const noexcept;
  /// True when keys can be read (the input is a terminal).
  [[nodiscard]] bool input_is_terminal() const noexcept;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace velmora::term
