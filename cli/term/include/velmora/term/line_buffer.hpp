// The text being edited at a prompt and the prompt's history: pure state, no terminal.
//
// The cursor is a byte offset that always sits between grapheme clusters, so one step left or
// right, and one Backspace, is one visible character however many code points it holds. The
// text may span several lines ("\n").
//
//   LineBuffer buffer("héllo");
//   buffer.move_left();            // before "o"
//   buffer.backspace();            // "hélo"
//   buffer.kill_to_line_start();   // "o", cursor 0
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::term {

class LineBuffer {
 public:
  LineBuffer() = default;
  /// The text with the cursor at its end.
  explicit LineBuffer(std::string text);

  [[nodiscard]] const std::string& text() const noexcept { return text_; }
  [[nodiscard]] std::size_t cursor() const noexcept { return cursor_; }
  [[nodiscard]] std::string_view text_before_cursor() const;
  [[nodiscard]] bool empty() const noexcept { return text_.empty(); }

  /// Replaces the text; the cursor goes to `cursor` (moved to a cluster boundary) or the end.
  void set(std::string text, std::optional<std::size_t> cursor = std::nullopt);

  /// Inserts typed or pasted text at the cursor. Line breaks ("\r\n", "\r", "\n") become "\n";
  /// a tab stays; other control characters are dropped.
  void insert(std::string_view text);
  /// Deletes the cluster before / after the cursor; false when there is none.
  bool backspace();
  bool delete_forward();

  bool move_left();
  bool move_right();
  /// To the start of the previous word / the end of the next one (words are runs of letters and
  /// digits).
  void move_word_left();
  void move_word_right();
  /// Start and end of the cursor's line.
  void move_line_start();
  void move_line_end();
  /// To the line above / below, at the same display column where possible; false on the
  /// first / last line.
  bool move_up();
  bool move_down();

  /// Ctrl+K: deletes to the end of the line (the line break itself when already there).
  std::string kill_to_line_end();
  /// Ctrl+U: deletes from the start of the line to the cursor.
  std::string kill_to_line_start();
  /// Ctrl+W: deletes the blank-separated word before the cursor, with the blanks after it.
  std::string kill_word_before();
  /// Alt+Backspace: deletes the alphanumeric word before the cursor.
  std::string kill_alnum_word_before();

  [[nodiscard]] int line_count() const;
  /// Line of the cursor (0-based).
  [[nodiscard]] int cursor_line() const;
  /// Display column of the cursor within its line.
  [[nodiscard]] int cursor_column() const;

 private:
  [[nodiscard]] std::size_t line_start(std::size_t pos) const;
  [[nodiscard]] std::size_t line_end(std::size_t pos) const;
  /// Offset within [start, end) whose display column is closest to `column` from below.
  [[nodiscard]] std::size_t offset_at_column(std::size_t start, std::size_t end, int column) const;

  std::string text_;
  /// Byte offset on a cluster boundary, at most text_.size().
  std::size_t cursor_ = 0;
};

/// Lines entered at a prompt, oldest first; lives as long as the editor (never written out).
class History {
 public:
  /// Adds a line; blank lines and a repeat of the newest entry are not kept.
  void append(const std::string& line);
  [[nodiscard]] const std::vector<std::string>& entries() const noexcept { return entries_; }
  [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }
  /// The newest entry older than index `before` that contains `query`.
  [[nodiscard]] std::optional<std::size_t> search_backward(std::string_view query,
                                                           std::size_t before) const;

 private:
  std::vector<std::string> entries_;
};

}  // namespace velmora::term
