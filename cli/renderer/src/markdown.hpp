// Markdown answers as styled terminal lines (cmark-gfm with tables, strikethrough, autolinks and
// task lists), and the split of a growing answer into blocks that can no longer change.
//
//   auto lines = render_markdown("# Title\n\nSome *text*.", {.width = 80, .hyperlinks = true});
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "text_layout.hpp"

namespace velmora::renderer {

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
};

/// Clean Markdown text (text_clean.hpp) laid out in lines; blocks are separated by one blank line.
[[nodiscard]] std::vector<Line> render_markdown(std::string_view text,
                                                const MarkdownOptions& options);

/// Length of the leading part of `text` made of top-level blocks that later text cannot change:
/// every block before the last one that starts on a complete line. 0 when there is none.
[[nodiscard]] std::size_t stable_block_prefix(std::string_view text);

}  // namespace velmora::renderer
