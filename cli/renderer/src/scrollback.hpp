// Output committed to the scrollback through the console, with the renderer's spacing rule: an
// answer block is set off by a blank line from whatever comes before and after it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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
  std::function<void(bool)> before_output_;
  std::uint64_t prints_ = 0;
};

}  // namespace velmora::renderer
