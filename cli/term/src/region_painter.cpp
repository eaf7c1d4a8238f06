#include "velmora/term/region_painter.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "velmora/term/text_width.hpp"

namespace velmora::term {
namespace {

void move_rows(std::string& out, int from, int to) {
  if (to < from) out += fmt::format("\x1b[{}A", from - to);
  if (to > from) out += fmt::format("\x1b[{}B", to - from);
}

void move_to_column(std::string& out, int col) {
  out += '\r';
  if (col > 0) out += fmt::format("\x1b[{}C", col);
}

int rows_for(int columns, int width) {
  if (columns <= width) return 1;
  return (columns + width - 1) / width;
}

}  // namespace

std::string RegionPainter::paint(const RegionFrame& frame, int width) {
  if (width < 1) width = 1;
  std::string out;
  if (frame.rows.empty()) return erase(width);
  if (drawn_ && width != width_) out += erase(width);

  const int count = static_cast<int>(frame.rows.size());
  int at_row = cursor_row_;
  if (!drawn_) {
    out += output_col_ > 0 ? "\r\n" : "\r";
    out += "\x1b[J";
    for (int i = 0; i < count; ++i) {
      if (i > 0) out += "\r\n";
      out += frame.rows[static_cast<std::size_t>(i)].bytes;
    }
    at_row = count - 1;
  } else {
    // Rewrite only the rows that changed; then add the new rows or clear the removed ones.
    const int old_count = static_cast<int>(rows_.size());
    const int common = std::min(count, old_count);
    for (int i = 0; i < common; ++i) {
      const auto& row = frame.rows[static_cast<std::size_t>(i)];
      if (row == rows_[static_cast<std::size_t>(i)]) continue;
      move_rows(out, at_row, i);
      out += "\r\x1b[K";
      out += row.bytes;
      at_row = i;
    }
    if (count > old_count) {
      move_rows(out, at_row, old_count - 1);
      for (int i = old_count; i < count; ++i) {
        out += "\r\n";
        out += frame.rows[static_cast<std::size_t>(i)].bytes;
      }
      at_row = count - 1;
    } else if (count < old_count) {
      move_rows(out, at_row, count);
      out += "\r\x1b[J";
      at_row = count;
    }
  }

  const int target_row = std::clamp(frame.cursor_row, 0, count - 1);
  const int target_col = std::clamp(frame.cursor_col, 0, width - 1);
  move_rows(out, at_row, target_row);
  move_to_column(out, target_col);

  if (frame.cursor_visible && visibility_ != Visibility::shown) out += "\x1b[?25h";
  if (!frame.cursor_visible && visibility_ != Visibility::hidden) out += "\x1b[?25l";
  visibility_ = frame.cursor_visible ? Visibility::shown : Visibility::hidden;

  rows_ = frame.rows;
  drawn_ = true;
  width_ = width;
  cursor_row_ = target_row;
  cursor_col_ = target_col;
  return out;
}

std::string RegionPainter::erase(int width) {
  std::string out = erase_bytes(width);
  if (!drawn_) return out;
  visibility_ = Visibility::shown;
  drawn_ = false;
  rows_.clear();
  cursor_row_ = 0;
  cursor_col_ = 0;
  return out;
}

std::string RegionPainter::erase_bytes(int width) const {
  if (width < 1) width = 1;
  std::string out;
  if (!drawn_) return out;
  int above = cursor_row_;
  if (width != width_) {
    // The terminal re-wrapped each row above the cursor, and the cursor's own row.
    above = 0;
    for (int i = 0; i < cursor_row_; ++i)
      above += rows_for(rows_[static_cast<std::size_t>(i)].width, width);
    above += cursor_col_ / width;
  }
  move_rows(out, above, 0);
  const int partial = output_col_ % width;
  if (output_col_ > 0 && partial != 0) {
    out += "\x1b[A";
    move_to_column(out, partial);
    out += "\x1b[J";
  } else {
    // Cleared from the second column, then the first: tmux (scroll-on-clear) copies a screen
    // cleared from its top-left corner into its history, where a region at the top would stay.
    out += "\r\x1b[C\x1b[J\r\x1b[K";
  }
  if (visibility_ != Visibility::shown) out += "\x1b[?25h";
  return out;
}

void RegionPainter::note_output(std::string_view bytes) {
  std::size_t at = 0;
  std::size_t text_start = 0;
  auto flush_text = [&](std::size_t end) {
    if (end > text_start) output_col_ += display_width(bytes.substr(text_start, end - text_start));
  };
  while (at < bytes.size()) {
    const char c = bytes[at];
    if (c == '\n' || c == '\r') {
      flush_text(at);
      output_col_ = 0;
      text_start = ++at;
    } else if (c == '\t') {
      flush_text(at);
      output_col_ = (output_col_ / 8 + 1) * 8;
      text_start = ++at;
    } else if (c == '\b') {
      flush_text(at);
      output_col_ = std::max(0, output_col_ - 1);
      text_start = ++at;
    } else if (c == '\x1b') {
      flush_text(at);
      const std::size_t start = at;
      at = skip_escape_sequence(bytes, at);
      const bool csi = at - start > 2 && bytes[start + 1] == '[';
      const char final_byte = bytes[at - 1];
      // Moves that may leave the cursor anywhere on the line: assume its start.
      if (csi && (final_byte == 'H' || final_byte == 'f' || final_byte == 'G' || final_byte == 'd')) {
        output_col_ = 0;
      }
      text_start = at;
    } else {
      ++at;
    }
  }
  flush_text(bytes.size());
}

void RegionPainter::abandon() {
  drawn_ = false;
  rows_.clear();
  cursor_row_ = 0;
  cursor_col_ = 0;
  output_col_ = 0;
  visibility_ = Visibility::unknown;
}

}  // namespace velmora::term
