// Display widths and line layout of styled text.
//
// Widths count terminal columns per grapheme cluster, as the terminal screen counts them (wide
// East Asian characters take two, combining marks none). Text given here is already clean
// (text_clean.hpp): no control characters but "\n", tabs expanded by the caller.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "velmora/term/console.hpp"

namespace velmora::renderer {

/// One screen line of styled runs (no line break inside).
using Line = std::vector<term::Segment>;

/// Columns `text` takes on a terminal.
[[nodiscard]] int display_width(std::string_view text);
[[nodiscard]] int line_width(const Line& line);

/// Appends a run, merging it with the last one when the style is the same.
void append_run(Line& line, const term::Style& style, std::string_view text);
void append_line(Line& line, const Line& more);

/// Word-wraps runs into lines of at most `width` columns. Breaks at blanks; a word longer than
/// a line is cut between characters; "\n" ends a line. Blanks at a break are dropped.
[[nodiscard]] std::vector<Line> wrap_runs(const Line& runs, int width);

/// wrap_runs for text that goes on: the lines later text cannot change, and in `rest` the runs
/// of the last one, to be laid out again in front of what follows.
[[nodiscard]] std::vector<Line> wrap_runs_open(const Line& runs, int width, Line& rest);

/// Cuts runs into lines of exactly `width` columns (code, where blanks matter). Every "\n" ends
/// a line, so text ending in "\n" ends with an empty line.
[[nodiscard]] std::vector<Line> hard_wrap_runs(const Line& runs, int width);

/// The line cut to `width` columns, ending in "…" when something was cut.
[[nodiscard]] Line truncate_line(const Line& line, int width);
[[nodiscard]] std::string truncate_text(std::string_view text, int width);

/// Replaces tabs by blanks up to the next multiple of `tab_size` columns.
[[nodiscard]] std::string expand_tabs(std::string_view text, int tab_size = 4);
/// The same for text that starts at `column` of its line; `column` becomes where it ends.
[[nodiscard]] std::string expand_tabs(std::string_view text, int tab_size, int& column);

/// All lines joined with "\n" into one run list, so they print in a single write.
[[nodiscard]] Line join_lines(const std::vector<Line>& lines);

}  // namespace velmora::renderer
