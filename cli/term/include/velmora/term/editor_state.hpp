// The prompt's editing state machine: the line buffer, the completion menu, history recall and
// reverse search, driven one key at a time. Pure (no terminal), so tests feed keys and look at
// the text; the line editor draws it and reads the keys.
//
//   History history;
//   EditorState state(history, &completer);
//   state.handle(Key{KeyCode::character, "/"});   // menu opens with every command
//   state.handle(Key{KeyCode::tab});              // first entry inserted
//   state.handle(Key{KeyCode::enter});            // EditorAction::accept
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/term/keys.hpp"
#include "velmora/term/line_buffer.hpp"

namespace velmora::term {

/// One entry of the completion menu.
struct Completion {
  /// Inserted in place of [replace_begin, replace_end) of the buffer text.
  std::string text;
  std::size_t replace_begin = 0;
  std::size_t replace_end = 0;
  /// What the menu shows, and the explanation beside it.
  std::string display;
  std::string meta;
  friend bool operator==(const Completion&, const Completion&) = default;
};

class Completer {
 public:
  virtual ~Completer() = default;
  /// Completions for the text with the cursor at byte `cursor`, in menu order.
  [[nodiscard]] virtual std::vector<Completion> complete(std::string_view text,
                                                         std::size_t cursor) const = 0;
};

/// The text and cursor after `completion` is applied to `text` (the cursor being at `cursor`).
/// A completion ending in a blank does not add a second one before the blank that follows.
[[nodiscard]] LineBuffer apply_completion(const std::string& text, std::size_t cursor,
                                          const Completion& completion);

/// The open completion menu: its entries, the selected one, and the text it was opened on.
struct CompletionMenu {
  std::vector<Completion> entries;
  /// Selected entry; none until Tab or an arrow picks one.
  std::optional<std::size_t> selected;
  /// The text and cursor before any entry was applied (restored when the selection returns to
  /// none).
  std::string original_text;
  std::size_t original_cursor = 0;

  [[nodiscard]] bool open() const noexcept { return !entries.empty(); }
};

enum class EditorAction { none, accept, interrupt, end_of_input, clear_screen };

class EditorState {
 public:
  EditorState(History& history, const Completer* completer = nullptr,
              bool complete_while_typing = true);

  /// Applies one key.
  EditorAction handle(const Key& key);

  [[nodiscard]] const LineBuffer& buffer() const noexcept { return buffer_; }
  [[nodiscard]] const CompletionMenu& menu() const noexcept { return menu_; }
  [[nodiscard]] bool searching() const noexcept { return searching_; }
  [[nodiscard]] const std::string& search_query() const noexcept { return search_query_; }
  [[nodiscard]] bool search_failed() const noexcept { return search_failed_; }

 private:
  EditorAction handle_search(const Key& key);
  void text_changed();
  void close_menu();
  void select_completion(int delta);
  void start_completion();
  void history_move(int delta);
  void search(bool older);
  void end_search(bool keep);

  History& history_;
  const Completer* completer_;
  bool complete_while_typing_;
  LineBuffer buffer_;
  CompletionMenu menu_;
  std::string kill_ring_;

  /// Entry shown by history recall; history_.size() means the line being written.
  std::size_t history_index_ = 0;
  /// Edits made to recalled entries (and the new line, under history_.size()).
  std::map<std::size_t, std::string> history_edits_;

  bool searching_ = false;
  std::string search_query_;
  bool search_failed_ = false;
  /// History entry the search currently shows, if any.
  std::optional<std::size_t> search_match_;
  /// Text and cursor to go back to when the search is cancelled.
  LineBuffer before_search_;
};

}  // namespace velmora::term
