// Markdown answers as styled terminal lines (cmark-gfm with tables, strikethrough, autolinks and
// task lists), and the split of a growing answer into blocks that can no longer change.
//
//   auto lines = render_markdown("# Title\n\nSome *text*.", {.width = 80, .hyperlinks = true});
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "style_sheet.hpp"
#include "text_layout.hpp"

namespace velmora::renderer {

/// Beyond this size text is laid out as plain paragraphs: a chat answer is never this big, and
/// the parser's cost must stay bounded for a hostile one.
inline constexpr std::size_t MAX_MARKDOWN_BYTES = std::size_t{1} << 20;

struct MarkdownOptions {
  int width = 80;
  /// Links become OSC 8 hyperlinks; without, a link's address follows its text.
  bool hyperlinks = true;
  /// Styles show; without, inline code keeps its backticks so it stays recognisable.
  bool color = true;
  /// Code blocks coloured by language and diffs by line (with `color`); off for a block still
  /// growing, which is coloured once, when it is complete.
  bool highlight = true;
  /// The terminal shows the 256-colour palette (or true colour), not only the 16 named colours.
  bool many_colors = false;
  /// Where the language definitions are; default_language_dir() when empty.
  std::filesystem::path language_dir;
  /// Colours a code block in place of the highlighting library (a block coloured elsewhere, or
  /// one left plain for now); nothing leaves it plain. Diffs are coloured without it.
  std::function<std::optional<std::vector<Line>>(
      const std::string& language, const std::string& code, const CodePalette& palette)>
      highlight_with;
  /// A paragraph printed in windows: the last line of the window before, still open, laid out
  /// in front of the first paragraph's text (on its own when the text starts otherwise).
  Line lead_in;
  /// For a window the paragraph goes on after: its last line is not laid out but given here,
  /// with the blanks the text ends in, to lead in the next window.
  Line* open_tail = nullptr;
};

/// Clean Markdown text (text_clean.hpp) laid out in lines; blocks are separated by one blank line.
[[nodiscard]] std::vector<Line> render_markdown(std::string_view text,
                                                const MarkdownOptions& options);

/// Text laid out as plain paragraphs, as render_markdown lays out text too long to parse
/// (`lead_in` and `open_tail` as there). Its first line starts at `column` (for tabs), and
/// `column` becomes where its last line ends, so a paragraph laid out in windows keeps its tabs.
[[nodiscard]] std::vector<Line> render_plain(std::string_view text, const MarkdownOptions& options,
                                             int& column);

/// Length of the leading part of `text` made of top-level blocks that later text cannot change:
/// every block before the last one that starts on a complete line. 0 when there is none.
[[nodiscard]] std::size_t stable_block_prefix(std::string_view text);

}  // namespace velmora::renderer
