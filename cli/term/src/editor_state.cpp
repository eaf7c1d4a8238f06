#include "velmora/term/editor_state.hpp"

#include <algorithm>

#include "velmora/term/text_width.hpp"

namespace velmora::term {

LineBuffer apply_completion(const std::string& text, std::size_t cursor,
                            const Completion& completion) {
  const std::size_t begin = std::min(completion.replace_begin, text.size());
  const std::size_t end = std::clamp(completion.replace_end, begin, text.size());
  std::string inserted = completion.text;
  if (!inserted.empty() && inserted.back() == ' ' && end < text.size() &&
      (text[end] == ' ' || text[end] == '\t')) {
    inserted.pop_back();
  }
  std::string result = text.substr(0, begin) + inserted + text.substr(end);
  std::size_t new_cursor = cursor;
  if (cursor >= begin && cursor <= end) {
    new_cursor = begin + inserted.size();
  } else if (cursor > end) {
    new_cursor = cursor + inserted.size() - (end - begin);
  }
  LineBuffer buffer;
  buffer.set(std::move(result), new_cursor);
  return buffer;
}

EditorState::EditorState(History& history, const Completer* completer, bool complete_while_typing)
    : history_(history),
      completer_(completer),
      complete_while_typing_(complete_while_typing),
      history_index_(history.size()) {}

EditorAction EditorState::handle(const Key& key) {
  if (searching_) return handle_search(key);
  switch (key.code) {
    case KeyCode::character:
      if (key.alt) {
        if (key.text == "b") {
          close_menu();
          buffer_.move_word_left();
        } else if (key.text == "f") {
          close_menu();
          buffer_.move_word_right();
        }
        return EditorAction::none;
      }
      [[fallthrough]];
    case KeyCode::paste:
      buffer_.insert(key.text);
      text_changed();
      return EditorAction::none;
    case KeyCode::enter:
      if (key.alt || key.shift) {
        buffer_.insert("\n");
        text_changed();
        return EditorAction::none;
      }
      close_menu();
      history_.append(buffer_.text());
      return EditorAction::accept;
    case KeyCode::tab:
      if (menu_.open()) {
        select_completion(1);
      } else {
        start_completion();
      }
      return EditorAction::none;
    case KeyCode::backtab:
      if (menu_.open()) select_completion(-1);
      return EditorAction::none;
    case KeyCode::backspace:
      if (key.alt || key.ctrl) {
        kill_ring_ = buffer_.kill_alnum_word_before();
      } else {
        buffer_.backspace();
      }
      text_changed();
      return EditorAction::none;
    case KeyCode::delete_:
      buffer_.delete_forward();
      text_changed();
      return EditorAction::none;
    case KeyCode::left:
      close_menu();
      if (key.ctrl || key.alt) {
        buffer_.move_word_left();
      } else {
        buffer_.move_left();
      }
      return EditorAction::none;
    case KeyCode::right:
      close_menu();
      if (key.ctrl || key.alt) {
        buffer_.move_word_right();
      } else {
        buffer_.move_right();
      }
      return EditorAction::none;
    case KeyCode::home:
      close_menu();
      buffer_.move_line_start();
      return EditorAction::none;
    case KeyCode::end:
      close_menu();
      buffer_.move_line_end();
      return EditorAction::none;
    case KeyCode::up:
      if (menu_.open()) {
        select_completion(-1);
      } else if (!buffer_.move_up()) {
        history_move(-1);
      }
      return EditorAction::none;
    case KeyCode::down:
      if (menu_.open()) {
        select_completion(1);
      } else if (!buffer_.move_down()) {
        history_move(1);
      }
      return EditorAction::none;
    case KeyCode::escape:
      close_menu();
      return EditorAction::none;
    case KeyCode::control:
      break;
    default:
      return EditorAction::none;
  }

  switch (key.letter) {
    case 'a':
      close_menu();
      buffer_.move_line_start();
      break;
    case 'e':
      close_menu();
      buffer_.move_line_end();
      break;
    case 'b':
      close_menu();
      buffer_.move_left();
      break;
    case 'f':
      close_menu();
      buffer_.move_right();
      break;
    case 'k':
      kill_ring_ = buffer_.kill_to_line_end();
      text_changed();
      break;
    case 'u':
      kill_ring_ = buffer_.kill_to_line_start();
      text_changed();
      break;
    case 'w':
      kill_ring_ = buffer_.kill_word_before();
      text_changed();
      break;
    case 'y':
      buffer_.insert(kill_ring_);
      text_changed();
      break;
    case 'j':
      buffer_.insert("\n");
      text_changed();
      break;
    case 'p':
      if (menu_.open()) {
        select_completion(-1);
      } else {
        history_move(-1);
      }
      break;
    case 'n':
      if (menu_.open()) {
        select_completion(1);
      } else {
        history_move(1);
      }
      break;
    case 'g':
      close_menu();
      break;
    case 'r':
      close_menu();
      searching_ = true;
      search_query_.clear();
      search_failed_ = false;
      search_match_.reset();
      before_search_ = buffer_;
      break;
    case 'l':
      return EditorAction::clear_screen;
    case 'c':
      close_menu();
      return EditorAction::interrupt;
    case 'd':
      if (buffer_.empty()) {
        close_menu();
        return EditorAction::end_of_input;
      }
      buffer_.delete_forward();
      text_changed();
      break;
    default:
      break;
  }
  return EditorAction::none;
}

EditorAction EditorState::handle_search(const Key& key) {
  if ((key.code == KeyCode::character && !key.alt) || key.code == KeyCode::paste) {
    search_query_ += key.text;
    search(false);
    return EditorAction::none;
  }
  if (key.code == KeyCode::backspace) {
    if (!search_query_.empty()) {
      search_query_.erase(prev_grapheme(search_query_, search_query_.size()));
    }
    search_match_.reset();
    search_failed_ = false;
    if (search_query_.empty()) {
      buffer_ = before_search_;
    } else {
      search(false);
    }
    return EditorAction::none;
  }
  if (key.code == KeyCode::control && key.letter == 'r') {
    search(true);
    return EditorAction::none;
  }
  if ((key.code == KeyCode::control && key.letter == 'g') || key.code == KeyCode::escape) {
    end_search(false);
    return EditorAction::none;
  }
  if (key.code == KeyCode::control && key.letter == 'c') {
    end_search(true);
    return EditorAction::interrupt;
  }
  if (key.code == KeyCode::enter && !key.alt) {
    end_search(true);
    return EditorAction::none;
  }
  end_search(true);
  return handle(key);
}

void EditorState::search(bool older) {
  std::size_t before = history_.size();
  if (search_match_) before = older ? *search_match_ : *search_match_ + 1;
  const auto found = history_.search_backward(search_query_, before);
  if (!found) {
    search_failed_ = true;
    return;
  }
  search_failed_ = false;
  search_match_ = found;
  const std::string& entry = history_.entries()[*found];
  buffer_.set(entry, entry.find(search_query_));
}

void EditorState::end_search(bool keep) {
  searching_ = false;
  search_failed_ = false;
  if (!keep) {
    buffer_ = before_search_;
  } else if (search_match_) {
    history_index_ = *search_match_;
  }
  search_match_.reset();
  search_query_.clear();
}

void EditorState::text_changed() {
  history_edits_[history_index_] = buffer_.text();
  if (complete_while_typing_ && completer_ != nullptr) {
    menu_ = CompletionMenu{};
    menu_.entries = completer_->complete(buffer_.text(), buffer_.cursor());
    menu_.original_text = buffer_.text();
    menu_.original_cursor = buffer_.cursor();
  } else {
    close_menu();
  }
}

void EditorState::close_menu() { menu_ = CompletionMenu{}; }

void EditorState::select_completion(int delta) {
  const auto count = static_cast<long>(menu_.entries.size());
  if (count == 0) return;
  // Positions 0..count-1 are entries, count is "none" (the text as typed).
  long position = menu_.selected ? static_cast<long>(*menu_.selected) : count;
  position = ((position + delta) % (count + 1) + (count + 1)) % (count + 1);
  if (position == count) {
    menu_.selected.reset();
    buffer_.set(menu_.original_text, menu_.original_cursor);
  } else {
    menu_.selected = static_cast<std::size_t>(position);
    buffer_ = apply_completion(menu_.original_text, menu_.original_cursor,
                               menu_.entries[static_cast<std::size_t>(position)]);
  }
  history_edits_[history_index_] = buffer_.text();
}

void EditorState::start_completion() {
  if (completer_ == nullptr) return;
  auto entries = completer_->complete(buffer_.text(), buffer_.cursor());
  if (entries.empty()) return;
  if (entries.size() == 1) {
    buffer_ = apply_completion(buffer_.text(), buffer_.cursor(), entries.front());
    text_changed();
    close_menu();
    return;
  }
  // Insert what every entry agrees on, then let the user choose.
  const auto& first = entries.front();
  std::string common = first.text;
  for (const auto& e : entries) {
    if (e.replace_begin != first.replace_begin || e.replace_end != first.replace_end) {
      common.clear();
      break;
    }
    std::size_t n = 0;
    while (n < common.size() && n < e.text.size() && common[n] == e.text[n]) ++n;
    common.resize(n);
  }
  const std::string typed =
      buffer_.text().substr(first.replace_begin, first.replace_end - first.replace_begin);
  if (common.size() > typed.size() && common.starts_with(typed)) {
    Completion partial = first;
    partial.text = common;
    buffer_ = apply_completion(buffer_.text(), buffer_.cursor(), partial);
    history_edits_[history_index_] = buffer_.text();
    entries = completer_->complete(buffer_.text(), buffer_.cursor());
  }
  menu_ = CompletionMenu{};
  menu_.entries = std::move(entries);
  menu_.original_text = buffer_.text();
  menu_.original_cursor = buffer_.cursor();
}

void EditorState::history_move(int delta) {
  close_menu();
  const long size = static_cast<long>(history_.size());
  const long target = std::clamp(static_cast<long>(history_index_) + delta, 0L, size);
  if (target == static_cast<long>(history_index_)) return;
  history_edits_[history_index_] = buffer_.text();
  history_index_ = static_cast<std::size_t>(target);
  const auto edited = history_edits_.find(history_index_);
  if (edited != history_edits_.end()) {
    buffer_.set(edited->second);
  } else if (target == size) {
    buffer_.set("");
  } else {
    buffer_.set(history_.entries()[history_index_]);
  }
}

}  // namespace velmora::term
