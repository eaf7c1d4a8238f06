#include "velmora/term/line_buffer.hpp"

#include <utf8proc.h>

#include <algorithm>

#include "velmora/term/text_width.hpp"

namespace velmora::term {
namespace {

bool is_word_cluster(std::string_view cluster) {
  utf8proc_int32_t cp = 0;
  if (utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(cluster.data()),
                       static_cast<utf8proc_ssize_t>(cluster.size()), &cp) <= 0) {
    return false;
  }
  const auto category = utf8proc_category(cp);
  return (category >= UTF8PROC_CATEGORY_LU && category <= UTF8PROC_CATEGORY_LO) ||
         (category >= UTF8PROC_CATEGORY_ND && category <= UTF8PROC_CATEGORY_NO) || cp == '_';
}

bool is_blank_cluster(std::string_view cluster) {
  return cluster == " " || cluster == "\t" || cluster == "\n";
}

std::string clean_insert(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n' || c == '\t' || c >= 0x20) {
      if (c == 0x7F) continue;
      out += static_cast<char>(c);
    }
  }
  // C1 controls (U+0080..U+009F) would drive the terminal when shown.
  std::string cleaned;
  cleaned.reserve(out.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (static_cast<unsigned char>(out[i]) == 0xC2 && i + 1 < out.size() &&
        static_cast<unsigned char>(out[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(out[i + 1]) < 0xA0) {
      ++i;
      continue;
    }
    cleaned += out[i];
  }
  return cleaned;
}

}  // namespace

LineBuffer::LineBuffer(std::string text) { set(std::move(text)); }

std::string_view LineBuffer::text_before_cursor() const {
  return std::string_view(text_).substr(0, cursor_);
}

void LineBuffer::set(std::string text, std::optional<std::size_t> cursor) {
  text_ = std::move(text);
  std::size_t at = cursor ? std::min(*cursor, text_.size()) : text_.size();
  // Snap to a cluster boundary at or before `at`.
  if (at < text_.size()) {
    std::size_t boundary = line_start(at);
    while (boundary < at) {
      const std::size_t next = next_grapheme(text_, boundary);
      if (next > at) break;
      boundary = next;
    }
    at = boundary;
  }
  cursor_ = at;
}

void LineBuffer::insert(std::string_view text) {
  const std::string cleaned = clean_insert(text);
  if (cleaned.empty()) return;
  text_.insert(cursor_, cleaned);
  // A combining mark typed after a letter joins its cluster: the cursor stays after both.
  cursor_ += cleaned.size();
}

bool LineBuffer::backspace() {
  if (cursor_ == 0) return false;
  const std::size_t start = prev_grapheme(text_, cursor_);
  text_.erase(start, cursor_ - start);
  cursor_ = start;
  return true;
}

bool LineBuffer::delete_forward() {
  if (cursor_ >= text_.size()) return false;
  const std::size_t end = next_grapheme(text_, cursor_);
  text_.erase(cursor_, end - cursor_);
  return true;
}

bool LineBuffer::move_left() {
  if (cursor_ == 0) return false;
  cursor_ = prev_grapheme(text_, cursor_);
  return true;
}

bool LineBuffer::move_right() {
  if (cursor_ >= text_.size()) return false;
  cursor_ = next_grapheme(text_, cursor_);
  return true;
}

void LineBuffer::move_word_left() {
  // Skip what is not a word, then the word.
  while (cursor_ > 0) {
    const std::size_t prev = prev_grapheme(text_, cursor_);
    if (is_word_cluster(std::string_view(text_).substr(prev, cursor_ - prev))) break;
    cursor_ = prev;
  }
  while (cursor_ > 0) {
    const std::size_t prev = prev_grapheme(text_, cursor_);
    if (!is_word_cluster(std::string_view(text_).substr(prev, cursor_ - prev))) break;
    cursor_ = prev;
  }
}

void LineBuffer::move_word_right() {
  while (cursor_ < text_.size()) {
    const std::size_t next = next_grapheme(text_, cursor_);
    if (is_word_cluster(std::string_view(text_).substr(cursor_, next - cursor_))) break;
    cursor_ = next;
  }
  while (cursor_ < text_.size()) {
    const std::size_t next = next_grapheme(text_, cursor_);
    if (!is_word_cluster(std::string_view(text_).substr(cursor_, next - cursor_))) break;
    cursor_ = next;
  }
}

std::size_t LineBuffer::line_start(std::size_t pos) const {
  if (pos == 0) return 0;
  const auto found = text_.rfind('\n', pos - 1);
  return found == std::string::npos ? 0 : found + 1;
}

std::size_t LineBuffer::line_end(std::size_t pos) const {
  const auto found = text_.find('\n', pos);
  return found == std::string::npos ? text_.size() : found;
}

void LineBuffer::move_line_start() { cursor_ = line_start(cursor_); }

void LineBuffer::move_line_end() { cursor_ = line_end(cursor_); }

std::size_t LineBuffer::offset_at_column(std::size_t start, std::size_t end, int column) const {
  int used = 0;
  std::size_t at = start;
  while (at < end) {
    const std::size_t next = next_grapheme(text_, at);
    const int w = cluster_width(std::string_view(text_).substr(at, next - at));
    if (used + w > column) break;
    used += w;
    at = next;
  }
  return at;
}

bool LineBuffer::move_up() {
  const std::size_t start = line_start(cursor_);
  if (start == 0) return false;
  const int column = cursor_column();
  const std::size_t prev_start = line_start(start - 1);
  cursor_ = offset_at_column(prev_start, start - 1, column);
  return true;
}

bool LineBuffer::move_down() {
  const std::size_t end = line_end(cursor_);
  if (end >= text_.size()) return false;
  const int column = cursor_column();
  const std::size_t next_start = end + 1;
  cursor_ = offset_at_column(next_start, line_end(next_start), column);
  return true;
}

std::string LineBuffer::kill_to_line_end() {
  std::size_t end = line_end(cursor_);
  if (end == cursor_ && end < text_.size()) end = cursor_ + 1;  // join with the next line
  std::string killed = text_.substr(cursor_, end - cursor_);
  text_.erase(cursor_, end - cursor_);
  return killed;
}

std::string LineBuffer::kill_to_line_start() {
  std::size_t start = line_start(cursor_);
  if (start == cursor_ && start > 0) start = cursor_ - 1;  // join with the previous line
  std::string killed = text_.substr(start, cursor_ - start);
  text_.erase(start, cursor_ - start);
  cursor_ = start;
  return killed;
}

std::string LineBuffer::kill_word_before() {
  std::size_t start = cursor_;
  auto cluster_before = [&](std::size_t pos) {
    const std::size_t prev = prev_grapheme(text_, pos);
    return std::pair{prev, std::string_view(text_).substr(prev, pos - prev)};
  };
  while (start > 0) {
    auto [prev, cluster] = cluster_before(start);
    if (!is_blank_cluster(cluster)) break;
    start = prev;
  }
  while (start > 0) {
    auto [prev, cluster] = cluster_before(start);
    if (is_blank_cluster(cluster)) break;
    start = prev;
  }
  std::string killed = text_.substr(start, cursor_ - start);
  text_.erase(start, cursor_ - start);
  cursor_ = start;
  return killed;
}

std::string LineBuffer::kill_alnum_word_before() {
  const std::size_t end = cursor_;
  move_word_left();
  std::string killed = text_.substr(cursor_, end - cursor_);
  text_.erase(cursor_, end - cursor_);
  return killed;
}

int LineBuffer::line_count() const {
  return 1 + static_cast<int>(std::count(text_.begin(), text_.end(), '\n'));
}

int LineBuffer::cursor_line() const {
  return static_cast<int>(
      std::count(text_.begin(), text_.begin() + static_cast<long>(cursor_), '\n'));
}

int LineBuffer::cursor_column() const {
  const std::size_t start = line_start(cursor_);
  return display_width(std::string_view(text_).substr(start, cursor_ - start));
}

void History::append(const std::string& line) {
  const bool blank = line.find_first_not_of(" \t\r\n") == std::string::npos;
  if (blank) return;
  if (!entries_.empty() && entries_.back() == line) return;
  entries_.push_back(line);
}

std::optional<std::size_t> History::search_backward(std::string_view query,
                                                    std::size_t before) const {
  std::size_t i = std::min(before, entries_.size());
  while (i > 0) {
    --i;
    if (entries_[i].find(query) != std::string::npos) return i;
  }
  return std::nullopt;
}

}  // namespace velmora::term
