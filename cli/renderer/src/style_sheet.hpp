// The renderer's one style sheet: every style its output uses, parsed once.
#pragma once

#include <string_view>

#include "text_layout.hpp"
#include "velmora/term/console.hpp"

namespace velmora::renderer {

/// Code colours, one each for what a language definition tells apart, readable on dark and
/// light backgrounds.
struct CodePalette {
  term::Style keyword;
  term::Style string;
  term::Style comment;
  term::Style number;
  term::Style type;
  term::Style function;
  term::Style variable;
};

struct Styles {
  term::Style bold;
  term::Style dim;
  term::Style red;
  term::Style bold_red;
  term::Style green;
  term::Style yellow;
  term::Style cyan;
  term::Style italic;
  term::Style strike;
  // Markdown.
  term::Style heading1;
  term::Style heading2;
  term::Style heading3;
  term::Style code;
  term::Style marker;
  term::Style link;
  // Code blocks.
  /// Mid-tone colours of the 256-colour cube, sent as true colour where the terminal has it.
  CodePalette code_palette;
  /// The same roles in the 16 named colours, for terminals without the 256 palette (the
  /// nearest named colour of a mid-tone is often grey or white).
  CodePalette code_palette_16;
  term::Style diff_added;
  term::Style diff_removed;
  term::Style diff_hunk;
  term::Style diff_file;
};

[[nodiscard]] const Styles& styles();

/// A style from its words ("bold red"); no style for words it does not know.
[[nodiscard]] term::Style style_of(std::string_view words);

/// One line of a single run.
[[nodiscard]] Line text_line(const term::Style& style, std::string_view text);

}  // namespace velmora::renderer
