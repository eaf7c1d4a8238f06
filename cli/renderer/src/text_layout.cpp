#include "text_layout.hpp"

#include <algorithm>

#include "velmora/term/text_width.hpp"

namespace velmora::renderer {
namespace {

using term::Segment;
using term::Style;

struct Glyph {
  std::size_t bytes;
  int width;
};

// One grapheme cluster at `text[i]`, measured as the screen measures it, so lines laid out here
// are exactly as wide on the terminal.
Glyph glyph_at(std::string_view text, std::size_t i) {
  const std::size_t end = std::max(term::next_grapheme(text, i), i + 1);
  return Glyph{end - i, term::cluster_width(text.substr(i, end - i))};
}

// Runs flattened into one text with the style of every byte range, so layout can work on
// byte offsets and cut runs only where lines end.
struct Flat {
  std::string text;
  std::vector<std::size_t> starts;
  std::vector<Style> styles;

  explicit Flat(const Line& runs) {
    for (const auto& run : runs) {
      if (run.text.empty()) continue;
      starts.push_back(text.size());
      styles.push_back(run.style);
      text += run.text;
    }
  }

  [[nodiscard]] Line slice(std::size_t begin, std::size_t end) const {
    Line line;
    if (begin >= end) return line;
    auto k = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), begin) -
                                      starts.begin() - 1);
    while (begin < end && k < starts.size()) {
      const std::size_t run_end = k + 1 < starts.size() ? starts[k + 1] : text.size();
      const std::size_t stop = std::min(run_end, end);
      if (stop > begin)
        append_run(line, styles[k], std::string_view(text).substr(begin, stop - begin));
      begin = stop;
      ++k;
    }
    return line;
  }
};

}  // namespace

int display_width(std::string_view text) { return term::display_width(text); }

int line_width(const Line& line) {
  int width = 0;
  for (const auto& run : line) width += display_width(run.text);
  return width;
}

void append_run(Line& line, const Style& style, std::string_view text) {
  if (text.empty()) return;
  if (!line.empty() && line.back().style == style) {
    line.back().text.append(text);
  } else {
    line.push_back(Segment{style, std::string(text)});
  }
}

void append_line(Line& line, const Line& more) {
  for (const auto& run : more) append_run(line, run.style, run.text);
}

namespace {

// With `rest`, the last line is left open: its runs, blanks and all, go to `rest`. Each line
// starts the scan afresh, so laying out `rest` followed by more text continues exactly as
// laying out the whole would.
std::vector<Line> wrap(const Line& runs, int width, Line* rest) {
  width = std::max(width, 1);
  const Flat flat(runs);
  const std::string_view text = flat.text;
  std::vector<Line> lines;
  const auto emit = [&](std::size_t begin, std::size_t end) {
    while (end > begin && text[end - 1] == ' ') --end;
    lines.push_back(flat.slice(begin, end));
  };
  std::size_t line_start = 0;
  int col = 0;
  bool has_break = false;
  std::size_t break_begin = 0;
  std::size_t break_end = 0;
  int col_at_break_end = 0;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '\n') {
      emit(line_start, i);
      line_start = i + 1;
      col = 0;
      has_break = false;
      i += 1;
      continue;
    }
    if (c == ' ') {
      if (i > line_start) {
        if (!has_break || break_end != i) break_begin = i;
        has_break = true;
        break_end = i + 1;
        col += 1;
        col_at_break_end = col;
      } else {
        col += 1;
      }
      i += 1;
      continue;
    }
    const auto g = glyph_at(text, i);
    if (g.width > 0 && col + g.width > width) {
      if (has_break && break_begin > line_start) {
        emit(line_start, break_begin);
        line_start = break_end;
        col -= col_at_break_end;
      } else if (col > 0) {
        emit(line_start, i);
        line_start = i;
        col = 0;
      }
      has_break = false;
    }
    col += std::max(g.width, 0);
    i += g.bytes;
  }
  if (rest) {
    *rest = flat.slice(line_start, text.size());
    return lines;
  }
  if (line_start < text.size()) {
    std::size_t end = text.size();
    while (end > line_start && text[end - 1] == ' ') --end;
    if (end > line_start || lines.empty()) lines.push_back(flat.slice(line_start, end));
  }
  return lines;
}

}  // namespace

std::vector<Line> wrap_runs(const Line& runs, int width) { return wrap(runs, width, nullptr); }

std::vector<Line> wrap_runs_open(const Line& runs, int width, Line& rest) {
  return wrap(runs, width, &rest);
}

std::vector<Line> hard_wrap_runs(const Line& runs, int width) {
  width = std::max(width, 1);
  const Flat flat(runs);
  const std::string_view text = flat.text;
  std::vector<Line> lines;
  std::size_t line_start = 0;
  int col = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '\n') {
      lines.push_back(flat.slice(line_start, i));
      line_start = i + 1;
      col = 0;
      i += 1;
      continue;
    }
    const auto g = glyph_at(text, i);
    if (g.width > 0 && col + g.width > width && col > 0) {
      lines.push_back(flat.slice(line_start, i));
      line_start = i;
      col = 0;
    }
    col += std::max(g.width, 0);
    i += g.bytes;
  }
  if (line_start < text.size() || (!text.empty() && text.back() == '\n')) {
    lines.push_back(flat.slice(line_start, text.size()));
  }
  return lines;
}

Line truncate_line(const Line& line, int width) {
  if (line_width(line) <= width) return line;
  Line out;
  if (width <= 0) return out;
  int col = 0;
  const int budget = width - 1;
  Style last_style;
  for (const auto& run : line) {
    last_style = run.style;
    std::size_t i = 0;
    while (i < run.text.size()) {
      const auto g = glyph_at(run.text, i);
      if (col + std::max(g.width, 0) > budget) break;
      col += std::max(g.width, 0);
      i += g.bytes;
    }
    append_run(out, run.style, std::string_view(run.text).substr(0, i));
    if (i < run.text.size()) break;
  }
  append_run(out, last_style, "…");
  return out;
}

std::string truncate_text(std::string_view text, int width) {
  std::string out;
  for (const auto& run : truncate_line(Line{Segment{Style{}, std::string(text)}}, width)) {
    out += run.text;
  }
  return out;
}

namespace {

std::string expand(std::string_view text, int tab_size, int& col) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '\t') {
      const int spaces = tab_size - col % tab_size;
      out.append(static_cast<std::size_t>(spaces), ' ');
      col += spaces;
      i += 1;
    } else if (c == '\n') {
      out += c;
      col = 0;
      i += 1;
    } else {
      const auto g = glyph_at(text, i);
      out.append(text.substr(i, g.bytes));
      col += std::max(g.width, 0);
      i += g.bytes;
    }
  }
  return out;
}

}  // namespace

std::string expand_tabs(std::string_view text, int tab_size) {
  if (text.find('\t') == std::string_view::npos) return std::string(text);
  int column = 0;
  return expand(text, tab_size, column);
}

std::string expand_tabs(std::string_view text, int tab_size, int& column) {
  if (text.find('\t') != std::string_view::npos) return expand(text, tab_size, column);
  const auto newline = text.rfind('\n');
  column = newline == std::string_view::npos ? column + display_width(text)
                                             : display_width(text.substr(newline + 1));
  return std::string(text);
}

Line join_lines(const std::vector<Line>& lines) {
  Line out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) append_run(out, Style{}, "\n");
    append_line(out, lines[i]);
  }
  return out;
}

}  // namespace velmora::renderer
