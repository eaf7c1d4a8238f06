// Formatted text for inline panels and the prompt: (style, text) fragments, a style sheet that
// maps class names to styles, and the layout of fragments into screen rows.
//
// A fragment's style is a list of words: "class:NAME" looks NAME up in the sheet, other words
// are style words ("bold", "ansibrightcyan", "bg:ansiblack"); later words win.
//
//   StyleSheet sheet{{"ask-title", "bold ansibrightcyan"}};
//   auto rows = layout_fragments({{"class:ask-title", "Need input\n"}, {"", "text"}}, sheet, 40);
//   std::string bytes = render_row(rows[0], ColorSystem::standard);
#pragma once

#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velmora/term/console.hpp"

namespace velmora::term {

struct Fragment {
  std::string style;
  std::string text;
  friend bool operator==(const Fragment&, const Fragment&) = default;
};

using Fragments = std::vector<Fragment>;

class StyleSheet {
 public:
  StyleSheet() = default;
  /// (class name, style words) rules; throws velmora::base::TypeError on words no style knows.
  StyleSheet(std::initializer_list<std::pair<std::string, std::string>> rules);

  void add(const std::string& class_name, std::string_view words);
  /// Rules of `other` added over these.
  void merge(const StyleSheet& other);
  /// The style of a fragment's style text.
  [[nodiscard]] Style resolve(std::string_view style) const;
  [[nodiscard]] bool has(const std::string& class_name) const { return rules_.count(class_name); }

 private:
  std::map<std::string, Style, std::less<>> rules_;
};

/// One screen row of styled runs.
struct StyledRow {
  std::vector<Segment> segments;
  /// Columns the row occupies.
  int width = 0;

  void append(const Style& style, std::string_view text, int columns);
  [[nodiscard]] std::string plain_text() const;
};

/// Splits fragments into rows at line breaks and, with `wrap`, where a row would pass `width`
/// columns: after the row's last blank, so words stay whole, and between characters only for a
/// word longer than the row (a wide character never straddles two rows); without `wrap` a long
/// row is cut. Control characters in the text are shown in caret form, never sent to the terminal.
/// Text ending in a line break ends with an empty row. `starts`, when given, receives the row
/// each fragment begins on.
[[nodiscard]] std::vector<StyledRow> layout_fragments(const Fragments& fragments,
                                                      const StyleSheet& sheet, int width,
                                                      bool wrap = true,
                                                      std::vector<int>* starts = nullptr);

/// Pads a row with blanks in `style` to `width` columns.
void pad_row(StyledRow& row, int width, const Style& style = {});

/// Surrounds rows with a box of `width` columns whose top border carries the title; the
/// border takes the "frame.border" class and the title "frame.label".
[[nodiscard]] std::vector<StyledRow> frame_rows(const std::vector<StyledRow>& body,
                                                std::string_view title, int width,
                                                const StyleSheet& sheet);

/// The bytes of a row (no escape codes when `colors` is none).
[[nodiscard]] std::string render_row(const StyledRow& row, ColorSystem colors);

/// The text of fragments without styles.
[[nodiscard]] std::string fragments_text(const Fragments& fragments);

}  // namespace velmora::term
