// The renderer's one style sheet: every style its output uses, parsed once.
#pragma once

#include <string_view>

#include "text_layout.hpp"
#include "velmora/term/console.hpp"

namespace velmora::renderer {

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
};

[[nodiscard]] const Styles& styles();

/// A style from its words ("bold red"); no style for words it does not know.
[[nodiscard]] term::Style style_of(std::string_view words);

/// One line of a single run.
[[nodiscard]] Line text_line(const term::Style& style, std::string_view text);

}  // namespace velmora::renderer
