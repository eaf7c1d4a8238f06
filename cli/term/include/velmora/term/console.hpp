// Console: prints text with inline markup to the terminal (or any sink).
//
// Markup: `[red]…[/red]`, `[bold cyan]…[/]`, `[dim]`, `[green]`, `[yellow]`, `[bold green]`,
// `[cyan]`, `[bold]`, `[italic]`, `[underline]`, `[link]URL[/link]` (an OSC 8 hyperlink whose
// text is the URL), `[link=URL]text[/link]`. `\[` is a literal "[" and `\\` a literal backslash.
// A tag that names no known style, or a closing tag that closes nothing, prints literally.
// With colour off the tags are removed and no escape code is ever written.
//
// Values spliced into markup must go through `Console::escape` so they print as they are:
//
//   console.print("[red]Login failed:[/red] " + Console::escape(error_text));
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::term {

/// Where a console's bytes go. The terminal `Screen` replaces the default sink while an inline
/// region is shown, so that printed text appears above the region.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual void write(std::string_view bytes) = 0;
  virtual void flush() {}
};

/// Writes to a file descriptor (standard output by default), retrying short writes.
class FdSink final : public OutputSink {
 public:
  explicit FdSink(int fd = 1) : fd_(fd) {}
  void write(std::string_view bytes) override;

  [[nodiscard]] int fd() const noexcept { return fd_; }
  /// The error number of the first write that failed: the output is incomplete.
  [[nodiscard]] std::optional<int> error() const noexcept { return error_; }

 private:
  int fd_;
  std::optional<int> error_;
};

/// Collects everything written; for tests and for rendering into a string.
class StringSink final : public OutputSink {
 public:
  void write(std::string_view bytes) override { text_.append(bytes); }
  [[nodiscard]] const std::string& text() const noexcept { return text_; }
  void clear() noexcept { text_.clear(); }

 private:
  std::string text_;
};

enum class ColorSystem { none, standard, eight_bit, truecolor };

/// A terminal colour: one of the 16 named ANSI colours (0-15), a 256-palette index, or RGB.
struct Color {
  enum class Kind : std::uint8_t { none, ansi, palette, rgb } kind = Kind::none;
  std::uint8_t index = 0;
  std::uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Color&, const Color&) = default;
};

/// A text style. `parse` reads rich-style words ("bold cyan", "dim", "ansibrightblack",
/// "bg:ansiblack", "on red", "italic ansibrightcyan"); unknown words make it fail.
struct Style {
  Color fg;
  Color bg;
  bool bold = false;
  bool dim = false;
  bool italic = false;
  bool underline = false;
  bool strike = false;
  bool reverse = false;
  std::string link;  ///< OSC 8 target, empty for none

  [[nodiscard]] static std::optional<Style> parse(std::string_view words);
  /// `other` laid over this one (set attributes and colours of `other` win).
  [[nodiscard]] Style combined(const Style& other) const;
  [[nodiscard]] bool plain() const noexcept;
  friend bool operator==(const Style&, const Style&) = default;
};

/// A run of text in one style.
struct Segment {
  Style style;
  std::string text;
};

/// Parses markup into styled runs (never fails: broken markup prints literally).
[[nodiscard]] std::vector<Segment> parse_markup(std::string_view markup);

/// The text of markup with every tag removed and escapes resolved.
[[nodiscard]] std::string strip_markup(std::string_view markup);

/// SGR/OSC 8 bytes for segments; plain text when `colors` is none.
[[nodiscard]] std::string render_segments(const std::vector<Segment>& segments, ColorSystem colors);

struct ConsoleOptions {
  bool force_terminal = false;
  bool no_color = false;
  /// "auto" detects from the environment; absent means no colour system.
  std::optional<std::string> color_system;
};

class Console {
 public:
  explicit Console(ConsoleOptions options = {}, std::shared_ptr<OutputSink> sink = nullptr);

  /// Prints markup followed by `end` (a line break by default).
  void print(std::string_view markup, std::string_view end = "\n");
  /// Prints styled runs followed by `end`.
  void print_segments(const std::vector<Segment>& segments, std::string_view end = "\n");
  /// Writes text exactly as given (no markup); control bytes are the caller's business.
  void write_raw(std::string_view bytes);
  /// Clears the screen and homes the cursor; nothing when colour is off or not a terminal.
  void clear();
  void flush();

  /// Escapes text so that markup prints it literally; control characters other than line
  /// break and tab show in caret form ("^[", C1 controls as "M-^["), and carriage returns are
  /// dropped, so a value can never drive the terminal.
  [[nodiscard]] static std::string escape(std::string_view text);
  /// Renders markup to the bytes this console would write (without `end`).
  [[nodiscard]] std::string render(std::string_view markup) const;

  [[nodiscard]] bool no_color() const noexcept { return options_.no_color; }
  [[nodiscard]] bool force_terminal() const noexcept { return options_.force_terminal; }
  [[nodiscard]] const std::optional<std::string>& color_system_name() const noexcept {
    return options_.color_system;
  }
  /// The colour system in effect: none whenever `no_color` is set.
  [[nodiscard]] ColorSystem color_system() const noexcept { return colors_; }
  /// Terminal width in columns (COLUMNS, then the terminal, then 80).
  [[nodiscard]] int width() const;

  [[nodiscard]] const std::shared_ptr<OutputSink>& sink() const noexcept { return sink_; }
  void set_sink(std::shared_ptr<OutputSink> sink);

 private:
  ConsoleOptions options_;
  ColorSystem colors_ = ColorSystem::none;
  std::shared_ptr<OutputSink> sink_;
};

}  // namespace velmora::term
