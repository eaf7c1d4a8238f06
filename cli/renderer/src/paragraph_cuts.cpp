#include "paragraph_cuts.hpp"

#include <algorithm>

namespace velmora::renderer {
namespace {

bool is_letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool is_punct(unsigned char c) {
  return c < 0x80 && !is_letter(c) && !is_digit(c) && c > ' ' && c != 0x7f;
}

/// Inside raw HTML or a link's parentheses the scan does not follow inline syntax; should the
/// construct turn out not to be one, these characters would mean something after all.
bool unsure_inside(std::string_view text, std::size_t i) {
  const char c = text[i];
  if (c == '_') {
    // Inside a word it can neither open nor close.
    const auto alnum = [](unsigned char k) { return is_letter(k) || is_digit(k); };
    return i == 0 || i + 1 >= text.size() || !alnum(text[i - 1]) || !alnum(text[i + 1]);
  }
  return std::string_view("`*~[]\\").find(c) != std::string_view::npos;
}

}  // namespace

bool ParagraphCuts::neutral() const {
  return code_run_ == 0 && brackets_ == 0 && link_parens_ < 0 && html_ == Html::none &&
         stars_ == 0 && underscores_ == 0 && tildes_.empty();
}

void ParagraphCuts::cut(std::size_t cut) {
  pos_ -= std::min(cut, pos_);
  last_cut_ = 0;
}

bool ParagraphCuts::check_line(std::string_view text, std::size_t begin) {
  std::size_t i = begin;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i >= text.size()) return false;
  const std::size_t indent = i - begin;
  const auto c = static_cast<unsigned char>(text[i]);
  if (c == '\n') {
    // Blank lines may lead the paragraph; after its text one ends it.
    stopped_ = seen_text_;
    return true;
  }
  if (seen_text_ && indent >= 4) return true;  // a lazy continuation line
  if (indent >= 4) {
    stopped_ = true;
    return true;
  }
  // Only a line that cannot start a block, end the paragraph or underline it keeps it going.
  if (is_digit(c)) {
    while (i < text.size() && is_digit(static_cast<unsigned char>(text[i]))) ++i;
    if (i >= text.size()) return false;
    stopped_ = text[i] == '.' || text[i] == ')';
  } else {
    stopped_ = !is_letter(c) && c < 0x80;
  }
  seen_text_ = true;
  return true;
}

bool ParagraphCuts::delimiter_run(std::string_view text, std::size_t& pos) {
  const char mark = text[pos];
  std::size_t end = pos;
  while (end < text.size() && text[end] == mark) ++end;
  if (end >= text.size()) return false;
  const auto before = static_cast<unsigned char>(pos == 0 ? ' ' : text[pos - 1]);
  const auto after = static_cast<unsigned char>(text[end]);
  const std::size_t length = end - pos;
  pos = end;
  if (before >= 0x80 || after >= 0x80) {
    // Unicode spaces and punctuation decide flanking there: not judged here.
    held_ = true;
    return true;
  }
  const bool left = !is_space(after) && (!is_punct(after) || is_space(before) || is_punct(before));
  const bool right = !is_space(before) && (!is_punct(before) || is_space(after) || is_punct(after));
  bool opens = left;
  bool closes = right;
  if (mark == '_') {
    opens = left && (!right || is_punct(before));
    closes = right && (!left || is_punct(after));
  }
  if (opens && closes) {
    // Whether it closes depends on lengths elsewhere (the rule of three): not followed here.
    held_ = true;
  } else if (opens) {
    if (mark == '*') stars_ += length;
    if (mark == '_') underscores_ += length;
    if (mark == '~') tildes_.push_back(length);
  } else if (closes) {
    // A closer takes what openers of its kind it finds; counts only ever stay above the truth.
    if (mark == '*') stars_ -= std::min(stars_, length);
    if (mark == '_') underscores_ -= std::min(underscores_, length);
    if (mark == '~' && length <= 2 && !tildes_.empty() && tildes_.back() == length) {
      tildes_.pop_back();
    }
  }
  return true;
}

void ParagraphCuts::scan(std::string_view text, bool continued) {
  if (!started_) {
    started_ = true;
    at_line_start_ = !continued;
    seen_text_ = continued;
  }
  std::size_t i = pos_;
  while (!stopped_ && i < text.size()) {
    if (at_line_start_) {
      if (!check_line(text, i)) break;
      at_line_start_ = false;
      if (stopped_) break;
    }
    if (held_) {
      // No more cuts; its lines are still judged, to tell whether it stays one paragraph.
      const auto newline = text.find('\n', i);
      if (newline == std::string_view::npos) {
        i = text.size();
        break;
      }
      i = newline;
    }
    const char c = text[i];
    if (c == '\n') {
      at_line_start_ = true;
      ++i;
      continue;
    }
    if (code_run_ > 0) {
      if (c != '`') {
        ++i;
        continue;
      }
      std::size_t end = i;
      while (end < text.size() && text[end] == '`') ++end;
      if (end >= text.size()) break;
      if (end - i == code_run_) code_run_ = 0;
      i = end;
      continue;
    }
    if (html_ != Html::none) {
      const std::string_view close = html_ == Html::comment       ? "-->"
                                     : html_ == Html::instruction ? "?>"
                                     : html_ == Html::cdata       ? "]]>"
                                                                  : "";
      if (!close.empty()) {
        if (i + close.size() > text.size()) break;
        if (text.substr(i, close.size()) == close) {
          html_ = Html::none;
          i += close.size();
        } else {
          ++i;
        }
        continue;
      }
      if (quote_ != 0) {
        if (c == quote_) quote_ = 0;
      } else if (c == '"' || c == '\'') {
        quote_ = c;
      } else if (c == '>') {
        html_ = Html::none;
      } else if (unsure_inside(text, i)) {
        held_ = true;
      }
      ++i;
      continue;
    }
    if (link_parens_ >= 0) {
      if (c == '(') {
        ++link_parens_;
      } else if (c == ')') {
        --link_parens_;
      } else if (c == '<' || c == '"' || c == '\'' || unsure_inside(text, i)) {
        held_ = true;
      }
      ++i;
      continue;
    }
    switch (c) {
      case '\\':
        if (i + 1 >= text.size()) return void(pos_ = i);
        i += is_punct(static_cast<unsigned char>(text[i + 1])) ? 2 : 1;
        continue;
      case '`': {
        std::size_t end = i;
        while (end < text.size() && text[end] == '`') ++end;
        if (end >= text.size()) return void(pos_ = i);
        code_run_ = end - i;
        i = end;
        continue;
      }
      case '<': {
        if (i + 9 > text.size()) return void(pos_ = i);
        const std::string_view rest = text.substr(i);
        if (is_space(static_cast<unsigned char>(rest[1]))) {
          ++i;
        } else if (rest.starts_with("<!--")) {
          html_ = Html::comment;
          i += 4;
        } else if (rest.starts_with("<![CDATA[")) {
          html_ = Html::cdata;
          i += 9;
        } else if (rest.starts_with("<?")) {
          html_ = Html::instruction;
          i += 2;
        } else {
          html_ = Html::tag;
          ++i;
        }
        continue;
      }
      case '[':
        ++brackets_;
        ++i;
        continue;
      case ']':
        if (brackets_ == 0) {
          ++i;
          continue;
        }
        if (i + 1 >= text.size()) return void(pos_ = i);
        --brackets_;
        if (text[i + 1] == '(') {
          link_parens_ = 0;
          i += 2;
        } else {
          ++i;
        }
        continue;
      case '*':
      case '_':
      case '~':
        if (!delimiter_run(text, i)) return void(pos_ = i);
        continue;
      default:
        break;
    }
    if (is_letter(static_cast<unsigned char>(c)) && i > 0 && text[i - 1] == ' ' && neutral()) {
      std::size_t blanks = i - 1;
      while (blanks > 0 && text[blanks - 1] == ' ') --blanks;
      if (blanks > 0 && text[blanks - 1] != '\n' && text[blanks - 1] != '\t') last_cut_ = i;
    }
    ++i;
  }
  pos_ = i;
}

}  // namespace velmora::renderer
