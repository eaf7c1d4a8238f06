#include "style_sheet.hpp"

namespace velmora::renderer {

term::Style style_of(std::string_view words) {
  return term::Style::parse(words).value_or(term::Style{});
}

const Styles& styles() {
  static const Styles instance{
      .bold = style_of("bold"),
      .dim = style_of("dim"),
      .red = style_of("red"),
      .bold_red = style_of("bold red"),
      .green = style_of("green"),
      .yellow = style_of("yellow"),
      .cyan = style_of("cyan"),
      .italic = style_of("italic"),
      .strike = style_of("strike"),
      .heading1 = style_of("bold underline"),
      .heading2 = style_of("bold"),
      .heading3 = style_of("bold italic"),
      .code = style_of("cyan"),
      .marker = style_of("bold"),
      .link = style_of("underline"),
  };
  return instance;
}

Line text_line(const term::Style& style, std::string_view text) {
  Line line;
  append_run(line, style, text);
  return line;
}

}  // namespace velmora::renderer
