#include "velmora/term/fragments.hpp"

#include "velmora/base/errors.hpp"
#include "velmora/term/text_width.hpp"

namespace velmora::term {
namespace {

std::vector<std::string_view> words_of(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && text[at] == ' ') ++at;
    const std::size_t start = at;
    while (at < text.size() && text[at] != ' ') ++at;
    if (at > start) words.push_back(text.substr(start, at - start));
  }
  return words;
}

}  // namespace

StyleSheet::StyleSheet(std::initializer_list<std::pair<std::string, std::string>> rules) {
  for (const auto& [name, words] : rules) add(name, words);
}

void StyleSheet::add(const std::string& class_name, std::string_view words) {
  auto style = Style::parse(words);
  if (!style) throw velmora::base::TypeError("unknown style words: " + std::string(words));
  rules_[class_name] = *style;
}

void StyleSheet::merge(const StyleSheet& other) {
  for (const auto& [name, style] : other.rules_) rules_[name] = style;
}

Style StyleSheet::resolve(std::string_view style) const {
  Style out;
  for (const auto word : words_of(style)) {
    if (word.starts_with("class:")) {
      const auto found = rules_.find(word.substr(6));
      if (found != rules_.end()) out = out.combined(found->second);
    } else if (auto parsed = Style::parse(word)) {
      out = out.combined(*parsed);
    }
  }
  return out;
}

void StyledRow::append(const Style& style, std::string_view text, int columns) {
  if (text.empty()) return;
  if (!segments.empty() && segments.back().style == style) {
    segments.back().text.append(text);
  } else {
    segments.push_back(Segment{style, std::string(text)});
  }
  width += columns;
}

std::string StyledRow::plain_text() const {
  std::string out;
  for (const auto& segment : segments) out += segment.text;
  return out;
}

std::vector<StyledRow> layout_fragments(const Fragments& fragments, const StyleSheet& sheet,
                                        int width, bool wrap, std::vector<int>* starts) {
  if (width < 1) width = 1;
  struct Cell {
    Style style;
    std::string text;
    int width;
  };
  std::vector<std::vector<Cell>> rows(1);
  std::vector<int> row_width(1, 0);
  // Where each fragment begins: its row and the cell there.
  std::vector<std::pair<std::size_t, std::size_t>> begins;
  // Cells from `from` on continue on a new row; fragments beginning there move with them.
  const auto break_row = [&](std::size_t from) {
    const std::size_t last = rows.size() - 1;
    std::vector<Cell> tail(std::make_move_iterator(rows[last].begin() + static_cast<long>(from)),
                           std::make_move_iterator(rows[last].end()));
    rows[last].resize(from);
    int moved = 0;
    for (const auto& cell : tail) moved += cell.width;
    row_width[last] -= moved;
    rows.push_back(std::move(tail));
    row_width.push_back(moved);
    for (auto& [row, cell] : begins) {
      if (row == last && cell >= from) {
        row = last + 1;
        cell -= from;
      }
    }
  };
  // A blank that did not fit ends its row; the next cluster starts a new one.
  bool pending_break = false;
  for (const auto& fragment : fragments) {
    begins.emplace_back(rows.size() - 1, rows.back().size());
    const Style style = sheet.resolve(fragment.style);
    const std::string text = printable_text(fragment.text, true);
    std::size_t at = 0;
    while (at < text.size()) {
      if (text[at] == '\n') {
        pending_break = false;
        rows.emplace_back();
        row_width.push_back(0);
        ++at;
        continue;
      }
      const std::size_t end = next_grapheme(text, at);
      const std::string_view cluster(text.data() + at, end - at);
      at = end;
      const int w = cluster_width(cluster);
      if (pending_break) {
        pending_break = false;
        break_row(rows.back().size());
      }
      if (row_width.back() + w > width) {
        if (!wrap) continue;
        std::vector<Cell>& row = rows.back();
        if (cluster == " ") {
          pending_break = !row.empty();
          continue;
        }
        // Words wrap whole: the row breaks after its last blank that follows some text. A
        // word longer than the row is cut between characters.
        std::size_t blank = row.size();
        while (blank > 0 && row[blank - 1].text != " ") --blank;
        bool text_before = false;
        for (std::size_t k = 0; k + 1 < blank; ++k) text_before = text_before || row[k].text != " ";
        // A word that cannot fit a row of its own is cut where it stands instead: moved, it
        // would leave its row's start (an option's marker, a label) alone above it.
        int word = w;
        for (std::size_t k = blank; k < row.size(); ++k) word += row[k].width;
        for (std::size_t k = at;
             k < text.size() && word <= width && text[k] != ' ' && text[k] != '\n';) {
          const std::size_t next = next_grapheme(text, k);
          word += cluster_width(std::string_view(text.data() + k, next - k));
          k = next;
        }
        if (blank > 0 && text_before && word <= width) {
          break_row(blank);
        } else if (!row.empty()) {
          break_row(row.size());
        }
      }
      rows.back().push_back(Cell{style, std::string(cluster), w});
      row_width.back() += w;
    }
  }
  std::vector<StyledRow> out(rows.size());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (const auto& cell : rows[r]) out[r].append(cell.style, cell.text, cell.width);
  }
  if (starts) {
    starts->clear();
    for (const auto& begin : begins) starts->push_back(static_cast<int>(begin.first));
  }
  return out;
}

void pad_row(StyledRow& row, int width, const Style& style) {
  if (row.width < width) {
    row.append(style, std::string(static_cast<std::size_t>(width - row.width), ' '),
               width - row.width);
  }
}

std::vector<StyledRow> frame_rows(const std::vector<StyledRow>& body, std::string_view title,
                                  int width, const StyleSheet& sheet) {
  if (width < 4) return body;
  const Style border = sheet.resolve("class:frame.border");
  const Style label = sheet.resolve("class:frame.label");
  const int inner = width - 2;
  auto horizontal = [](int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += "─";
    return out;
  };

  std::vector<StyledRow> out;
  StyledRow top;
  const std::string shown_title =
      std::string(fit_width(printable_text(title), std::max(0, inner - 4)));
  const int title_width = display_width(shown_title);
  if (title_width > 0) {
    const int rest = inner - title_width - 4;
    const int left = rest / 2;
    top.append(border, "┌" + horizontal(left) + "┤", left + 2);
    top.append(label, " " + shown_title + " ", title_width + 2);
    top.append(border, "├" + horizontal(rest - left) + "┐", rest - left + 2);
  } else {
    top.append(border, "┌" + horizontal(inner) + "┐", width);
  }
  out.push_back(std::move(top));
  for (const auto& row : body) {
    StyledRow framed;
    framed.append(border, "│", 1);
    for (const auto& segment : row.segments) {
      framed.segments.push_back(segment);
    }
    framed.width += row.width;
    pad_row(framed, inner + 1);
    framed.append(border, "│", 1);
    out.push_back(std::move(framed));
  }
  StyledRow bottom;
  bottom.append(border, "└" + horizontal(inner) + "┘", width);
  out.push_back(std::move(bottom));
  return out;
}

std::string render_row(const StyledRow& row, ColorSystem colors) {
  return render_segments(row.segments, colors);
}

std::string fragments_text(const Fragments& fragments) {
  std::string out;
  for (const auto& fragment : fragments) out += fragment.text;
  return out;
}

}  // namespace velmora::term
