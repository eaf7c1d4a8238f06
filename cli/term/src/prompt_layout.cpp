#include <algorithm>

#include "velmora/term/line_editor.hpp"
#include "velmora/term/text_width.hpp"

namespace velmora::term {
namespace {

constexpr int MENU_MAX_ROWS = 16;

StyleSheet default_sheet() {
  return StyleSheet{
      {"completion-menu.completion", "bg:ansigray ansiblack"},
      {"completion-menu.completion.current", "bg:ansibrightblack ansiwhite bold"},
      {"completion-menu.meta.completion", "bg:ansigray ansibrightblack"},
      {"completion-menu.meta.completion.current", "bg:ansibrightblack ansigray"},
  };
}

/// Lays out the prompt line and the text, recording where the cursor and the completion
/// anchor fall.
class InputLayout {
 public:
  InputLayout(int width) : width_(std::max(width, 1)) { rows_.emplace_back(); }

  void add(const Style& style, std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t end = next_grapheme(text, at);
      add_cluster(style, text.substr(at, end - at));
      at = end;
    }
  }

  void add_cluster(const Style& style, std::string_view cluster) {
    if (cluster == "\n") {
      rows_.emplace_back();
      if (indent_ > 0)
        rows_.back().append({}, std::string(static_cast<std::size_t>(indent_), ' '), indent_);
      return;
    }
    const std::string shown = printable_text(cluster);
    const int w = display_width(shown);
    if (rows_.back().width + w > width_ && rows_.back().width > 0) rows_.emplace_back();
    rows_.back().append(style, shown, w);
  }

  /// Printable ASCII, one column a byte: laid out a row's worth at a time.
  void add_ascii(const Style& style, std::string_view text) {
    while (!text.empty()) {
      if (rows_.back().width >= width_) rows_.emplace_back();
      const auto take =
          std::min(text.size(), static_cast<std::size_t>(width_ - rows_.back().width));
      rows_.back().append(style, text.substr(0, take), static_cast<int>(take));
      text.remove_prefix(take);
    }
  }

  /// Position of the next cluster (a cursor at the right edge moves to the next row).
  [[nodiscard]] std::pair<int, int> here() const {
    const int row = static_cast<int>(rows_.size()) - 1;
    const int col = rows_.back().width;
    if (col >= width_) return {row + 1, 0};
    return {row, col};
  }

  void set_indent(int indent) { indent_ = std::min(indent, width_ / 2); }

  std::vector<StyledRow> take(int cursor_row) {
    while (static_cast<int>(rows_.size()) <= cursor_row) rows_.emplace_back();
    return std::move(rows_);
  }

 private:
  int width_;
  int indent_ = 0;
  std::vector<StyledRow> rows_;
};

/// End of the run of printable ASCII at `at` whose bytes are each a cluster of their own (a
/// byte followed by a combining mark is left to the grapheme rules).
std::size_t ascii_run_end(std::string_view text, std::size_t at) {
  const auto plain = [](char c) { return c >= 0x20 && c < 0x7F; };
  std::size_t end = at;
  while (end < text.size() && plain(text[end])) ++end;
  if (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x80 && end > at) --end;
  return end;
}

std::vector<StyledRow> menu_rows(const CompletionMenu& menu, const StyleSheet& sheet, int width,
                                 int anchor_col, int max_rows, ColorSystem colors) {
  std::vector<StyledRow> rows;
  if (!menu.open() || max_rows <= 0) return rows;
  int display_w = 0;
  int meta_w = 0;
  for (const auto& e : menu.entries) {
    display_w = std::max(display_w, display_width(printable_text(e.display)));
    meta_w = std::max(meta_w, display_width(printable_text(e.meta)));
  }
  // Cut the meta column first, then the display column, to fit the width.
  int total = display_w + 2 + (meta_w > 0 ? meta_w + 2 : 0);
  if (total > width && meta_w > 0) {
    meta_w = std::max(0, meta_w - (total - width));
    total = display_w + 2 + (meta_w > 0 ? meta_w + 2 : 0);
  }
  if (total > width) {
    display_w = std::max(1, width - 2);
    meta_w = 0;
    total = display_w + 2;
  }
  // The entry text lines up under the word it completes.
  const int x = std::clamp(anchor_col - 1, 0, std::max(0, width - total));

  const int count = static_cast<int>(menu.entries.size());
  const int shown = std::min({count, MENU_MAX_ROWS, max_rows});
  int first = 0;
  if (menu.selected && static_cast<int>(*menu.selected) >= shown) {
    first = static_cast<int>(*menu.selected) - shown + 1;
  }
  const Style item = sheet.resolve("class:completion-menu.completion");
  const Style item_current = sheet.resolve("class:completion-menu.completion.current");
  const Style meta = sheet.resolve("class:completion-menu.meta.completion");
  const Style meta_current = sheet.resolve("class:completion-menu.meta.completion.current");
  for (int i = first; i < first + shown; ++i) {
    const auto& e = menu.entries[static_cast<std::size_t>(i)];
    const bool current = menu.selected && static_cast<int>(*menu.selected) == i;
    StyledRow row;
    if (x > 0) row.append({}, std::string(static_cast<std::size_t>(x), ' '), x);
    // Without colour the selection needs a mark of its own.
    std::string cell((current && colors == ColorSystem::none) ? ">" : " ");
    cell += pad_right(fit_width(printable_text(e.display), display_w), display_w);
    cell += ' ';
    row.append(current ? item_current : item, cell, display_w + 2);
    if (meta_w > 0) {
      std::string meta_cell(" ");
      meta_cell += pad_right(fit_width(printable_text(e.meta), meta_w), meta_w);
      meta_cell += ' ';
      row.append(current ? meta_current : meta, meta_cell, meta_w + 2);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace

AppView layout_prompt(const EditorState& state, const PromptOptions& options, int width, int height,
                      ColorSystem colors, bool done) {
  width = std::max(width, 1);
  StyleSheet sheet = default_sheet();
  sheet.merge(options.style);

  InputLayout input(width);
  const LineBuffer& buffer = state.buffer();
  if (state.searching() && !done) {
    const std::string label =
        std::string(state.search_failed() ? "(failed reverse-i-search)" : "(reverse-i-search)") +
        "`" + state.search_query() + "': ";
    input.add({}, label);
  } else {
    for (const auto& f : options.message) input.add(sheet.resolve(f.style), f.text);
  }
  input.set_indent(input.here().second);

  const std::string& text = buffer.text();
  const std::size_t anchor = state.menu().open() ? state.menu().entries.front().replace_begin : 0;
  std::pair<int, int> cursor = input.here();
  int anchor_col = cursor.second;
  for (std::size_t at = 0; at < text.size();) {
    if (at == buffer.cursor()) cursor = input.here();
    if (at == anchor) anchor_col = input.here().second;
    // Long pastes are mostly ASCII: lay runs out whole, stopping where the cursor or the
    // completion anchor must be noted.
    std::size_t end = ascii_run_end(text, at);
    if (end > at) {
      for (const std::size_t mark : {buffer.cursor(), anchor}) {
        if (mark > at && mark < end) end = mark;
      }
      input.add_ascii({}, std::string_view(text).substr(at, end - at));
    } else {
      end = next_grapheme(text, at);
      input.add_cluster({}, std::string_view(text).substr(at, end - at));
    }
    at = end;
  }
  if (buffer.cursor() >= text.size()) cursor = input.here();
  if (text.empty() && !state.searching() && !done) {
    for (const auto& f : options.placeholder) input.add(sheet.resolve(f.style), f.text);
  }
  std::vector<StyledRow> rows = input.take(cursor.first);
  const int input_rows = static_cast<int>(rows.size());

  if (!done) {
    const bool has_toolbar = !options.bottom_toolbar.empty();
    const int toolbar_rows = has_toolbar ? 1 : 0;
    const int room = std::max(0, height - input_rows - toolbar_rows);
    std::vector<StyledRow> menu;
    if (!state.searching()) menu = menu_rows(state.menu(), sheet, width, anchor_col, room, colors);
    int area = static_cast<int>(menu.size());
    if (options.completer != nullptr && options.complete_while_typing) {
      area = std::max(area, options.reserve_space_for_menu - input_rows);
    }
    area = std::min(area, room);
    for (auto& r : menu) rows.push_back(std::move(r));
    while (static_cast<int>(rows.size()) < input_rows + area) rows.emplace_back();
    if (has_toolbar) {
      StyledRow bar;
      const auto laid = layout_fragments(options.bottom_toolbar, sheet, width, false);
      if (!laid.empty()) bar = laid.front();
      pad_row(bar, width, sheet.resolve(options.bottom_toolbar.front().style));
      rows.push_back(std::move(bar));
    }
  }

  AppView view;
  for (const auto& r : rows) view.rows.push_back(PaintRow{render_row(r, colors), r.width});
  view.cursor_row = cursor.first;
  view.cursor_col = cursor.second;
  view.cursor_visible = !done;
  view.focus_row = cursor.first;
  return view;
}

}  // namespace velmora::term
