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
      .code_palette =
          {
              .keyword = style_of("#af5fd7"),
              .string = style_of("#5faf00"),
              .comment = style_of("italic #878787"),
              .number = style_of("#d78700"),
              .type = style_of("#00afaf"),
              .function = style_of("#5f87d7"),
              .variable = style_of("#d75f5f"),
          },
      .code_palette_16 =
          {
              .keyword = style_of("magenta"),
              .string = style_of("green"),
              .comment = style_of("italic bright_black"),
              .number = style_of("yellow"),
              .type = style_of("cyan"),
              .function = style_of("blue"),
              .variable = style_of("red"),
          },
      .diff_added = style_of("green"),
      .diff_removed = style_of("red"),
      .diff_hunk = style_of("cyan"),
      .diff_file = style_of("bold"),
  };
  return instance;
}

Line text_line(const term::Style& style, std::string_view text) {
  Line line;
  append_run(line, style, text);
  return line;
}

}  // namespace velmora::renderer
