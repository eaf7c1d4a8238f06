// Where a growing paragraph can be cut so that its parts, laid out one after the other, read
// as the whole would.
//
// A cut is safe where nothing before it can still be taken up by text after it: no emphasis,
// strikethrough, link bracket, code span, raw HTML or autolink left open. The rule is
// conservative: what the scan cannot judge exactly (a delimiter run that could both open and
// close, one beside a non-ASCII character, quotes in a link's parentheses) stops the cuts for
// the rest of the paragraph.
//
// Cuts fall only between a run of blanks and an ASCII letter inside a line, so the text after a
// cut starts as a paragraph does and each part keeps its inline meaning when parsed alone.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::renderer {

class ParagraphCuts {
 public:
  /// Looks through what `text` added since the last call. `text` is the open paragraph from its
  /// start, or from the last cut (`continued`): then only its inline constructs are checked,
  /// its first line is known to be a paragraph's.
  void scan(std::string_view text, bool continued);
  /// The last safe cut found (offset into the text last scanned), 0 when none.
  [[nodiscard]] std::size_t last_cut() const noexcept { return last_cut_; }
  /// No line seen so far ends the paragraph or changes what it is.
  [[nodiscard]] bool one_paragraph() const noexcept { return started_ && !stopped_; }
  /// The text before `cut` was taken away: offsets now count from there.
  void cut(std::size_t cut);
  /// The paragraph ended or the text was released otherwise: start over.
  void reset() { *this = ParagraphCuts(); }

 private:
  enum class Html { none, tag, comment, instruction, cdata };

  /// Judges the line starting at `begin`; false when it cannot be judged yet.
  bool check_line(std::string_view text, std::size_t begin);
  /// Handles a `*`, `_` or `~` run at `pos`; false when its end is not in yet.
  bool delimiter_run(std::string_view text, std::size_t& pos);
  bool neutral() const;

  std::size_t pos_ = 0;
  std::size_t last_cut_ = 0;
  bool started_ = false;
  bool at_line_start_ = false;
  /// A line with text was seen: a blank line now ends the paragraph.
  bool seen_text_ = false;
  /// No more cuts in this paragraph: a line may end or change it here.
  bool stopped_ = false;
  /// No more cuts in this paragraph: the scan cannot tell what its text still opens.
  bool held_ = false;
  std::size_t code_run_ = 0;
  int brackets_ = 0;
  /// Depth of parentheses inside a link's "(…)"; -1 outside.
  int link_parens_ = -1;
  Html html_ = Html::none;
  char quote_ = 0;
  /// Characters of `*` and `_` runs that may still open emphasis.
  std::size_t stars_ = 0;
  std::size_t underscores_ = 0;
  /// Lengths of `~` runs that may still open strikethrough, innermost last.
  std::vector<std::size_t> tildes_;
};

}  // namespace velmora::renderer
