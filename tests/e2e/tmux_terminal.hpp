// A real terminal for end-to-end tests: one private tmux server per terminal, removed with it.
//
//   TmuxTerminal terminal("env TERM=xterm-256color velmora ...", {.width = 80, .height = 24});
//   ASSERT_TRUE(terminal.wait_for("type / for commands"));
//   terminal.type("/", false);
//   auto shown = terminal.wait_until([](const std::string& s) { return has(s, "/exit"); });
//
// Screens are polled (capture-pane) until they show what a test waits for; the time-outs only
// keep a broken test from hanging.
#pragma once

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace velmora::testing {

inline std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

struct TmuxOptions {
  int width = 120;
  int height = 40;
  std::filesystem::path cwd;
};

class TmuxTerminal {
 public:
  /// Runs the shell command line `command` in a fresh pane. The pane stays after it ends.
  TmuxTerminal(const std::string& command, TmuxOptions options = {})
      : socket_("velmora-tty-" + std::to_string(::getpid()) + "-" + std::to_string(++count_)) {
    std::vector<std::string> args = {"new-session", "-d",
                                     "-x",          std::to_string(options.width),
                                     "-y",          std::to_string(options.height)};
    if (!options.cwd.empty()) args.insert(args.end(), {"-c", options.cwd.string()});
    args.push_back(command);
    started_ = tmux(args).exit_code == 0;
    // Resizes below take the size given, whatever clients (none) would want.
    if (started_) (void)tmux({"set-option", "-g", "window-size", "manual"});
  }
  ~TmuxTerminal() { (void)tmux({"kill-server"}); }
  TmuxTerminal(const TmuxTerminal&) = delete;
  TmuxTerminal& operator=(const TmuxTerminal&) = delete;

  [[nodiscard]] bool started() const { return started_; }

  /// The visible rows, one line each (wrapped rows stay apart), trailing blanks trimmed.
  std::string visible() { return tmux({"capture-pane", "-p"}).out; }
  /// The scrollback and the visible rows, wrapped rows joined.
  std::string screen() { return tmux({"capture-pane", "-p", "-J", "-S", "-2000"}).out; }
  /// The visible rows with their colours and attributes as escape sequences.
  std::string styled() { return tmux({"capture-pane", "-p", "-e"}).out; }

  /// Waits until `accept(screen())` holds; that screen, or nothing at the time-out.
  std::optional<std::string> wait_until(const std::function<bool(const std::string&)>& accept,
                                        double timeout_seconds = 30, bool visible_only = false) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
    for (;;) {
      std::string shown = visible_only ? visible() : screen();
      if (accept(shown)) return shown;
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  /// Waits until the scrollback or the screen shows `text`.
  std::optional<std::string> wait_for(const std::string& text, double timeout_seconds = 30) {
    return wait_until([&](const std::string& s) { return s.find(text) != std::string::npos; },
                      timeout_seconds);
  }
  /// Waits until the visible rows show `text`.
  std::optional<std::string> wait_visible(const std::string& text, double timeout_seconds = 30) {
    return wait_until([&](const std::string& s) { return s.find(text) != std::string::npos; },
                      timeout_seconds, true);
  }

  /// Types `text` literally and, unless `enter` is false, presses Enter.
  void type(const std::string& text, bool enter = true) {
    if (!text.empty()) (void)tmux({"send-keys", "-l", text});
    if (enter) (void)tmux({"send-keys", "Enter"});
  }
  /// Presses keys by tmux name ("Up", "C-c", "Escape", "M-Enter").
  template <class... Names>
  void keys(const Names&... names) {
    (void)tmux({"send-keys", std::string(names)...});
  }
  /// Pastes `text` as the terminal does (bracketed when the program asked for it).
  void paste(const std::string& text) {
    (void)tmux({"set-buffer", "--", text});
    (void)tmux({"paste-buffer", "-p", "-d"});
  }

  void resize(int width, int height) {
    (void)tmux({"resize-window", "-x", std::to_string(width), "-y", std::to_string(height)});
  }

  /// A pane format value ("#{cursor_x}", "#{alternate_on}").
  std::string pane_format(const std::string& format) {
    std::string out = tmux({"display-message", "-p", format}).out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
  }

 private:
  ProcessResult tmux(std::vector<std::string> args) {
    args.insert(args.begin(), {"-L", socket_, "-f", "/dev/null"});
    return run_process("tmux", {.args = std::move(args), .timeout_seconds = 30});
  }

  static inline int count_ = 0;
  std::string socket_;
  bool started_ = false;
};

// Reading captured screens.

/// Occurrences of `needle` in `text`.
inline std::size_t count_of(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

inline bool has(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

/// Both are shown, the last `later` below the last `earlier`.
inline bool shown_after(const std::string& text, const std::string& later,
                        const std::string& earlier) {
  const auto a = text.rfind(later);
  const auto b = text.rfind(earlier);
  return a != std::string::npos && b != std::string::npos && a > b;
}

/// The rows of a capture, without the blank rows at its end.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

}  // namespace velmora::testing
