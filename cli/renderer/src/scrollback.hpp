// Output committed to the scrollback through the console, with the renderer's spacing rule: an
// answer block is set off by a blank line from whatever comes before and after it.
//
// A block can be held (its final lines are still being made, off the event loop): it keeps its
// place, and everything printed after it waits behind it, so the scrollback keeps the order of
// the prints whatever order the final lines come in.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text_layout.hpp"
#include "velmora/term/console.hpp"

namespace velmora::renderer {

class Scrollback {
 public:
  /// What was printed last, for the spacing rule.
  enum class Last { none, block, line };

  explicit Scrollback(std::shared_ptr<term::Console> console);

  /// Runs before each print (`answer`: an answer block is printed); the writer closes there
  /// what it holds open, such as a growing block or an unfinished line.
  void set_before_output(std::function<void(bool answer)> hook);

  /// An answer block: a blank line before it unless it is the first output or it `continues`
  /// the block printed last.
  void print_block(const std::vector<Line>& lines, bool continues = false);
  /// Lines: a blank line before them when an answer block came last.
  void print_lines(const std::vector<Line>& lines);
  void print_line(const Line& line) { print_lines({line}); }
  /// Text as it is: no spacing, no hook.
  void write_raw(std::string_view text);

  /// An answer block printed as print_block would, but held until complete_held(); `plain` is
  /// printed if its final lines never come. Returns its number; 0 for no lines (nothing held).
  std::uint64_t hold_block(std::vector<Line> plain, bool continues = false);
  /// The final lines of held block `id` (nothing: its plain lines). What is no longer behind a
  /// held block is printed.
  void complete_held(std::uint64_t id, std::optional<std::vector<Line>> lines);
  /// Runs `write` once everything waiting now is printed, at once when nothing waits: output
  /// made elsewhere keeps its place. `write` must not print through this scrollback.
  void after_output(std::function<void()> write);
  /// Prints everything waiting, held blocks as their plain lines.
  void release_held();
  [[nodiscard]] bool holding() const noexcept { return !waiting_.empty(); }
  /// The last `count` lines of what waits to be printed, as it stands (held blocks plain), for
  /// the live region.
  [[nodiscard]] std::vector<Line> waiting_lines(std::size_t count) const;
  /// Runs whenever what waits changes (before the lines leaving it are printed).
  void set_on_waiting_change(std::function<void()> hook);

  [[nodiscard]] term::Console& console() const noexcept { return *console_; }
  [[nodiscard]] const std::shared_ptr<term::Console>& shared_console() const noexcept {
    return console_;
  }
  /// Counts prints, so a writer can tell whether a line it printed is still the last one.
  [[nodiscard]] std::uint64_t prints() const noexcept { return prints_; }

  Last last = Last::none;

 private:
  void print(const std::vector<Line>& lines, bool gap);

  std::shared_ptr<term::Console> console_;
  struct Waiting {
    /// 0 once the lines are final.
    std::uint64_t held = 0;
    /// A blank line goes before `lines`.
    bool gap = false;
    std::vector<Line> lines;
    std::optional<std::string> raw;
    std::function<void()> write;
  };
  void emit(const std::vector<Line>& lines, bool gap);
  void write_waiting(Waiting& entry);

  std::function<void(bool)> before_output_;
  std::function<void()> on_waiting_change_;
  std::uint64_t prints_ = 0;
  std::uint64_t next_held_ = 1;
  std::deque<Waiting> waiting_;
};

}  // namespace velmora::renderer
