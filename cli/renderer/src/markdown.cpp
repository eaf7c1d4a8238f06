#include "markdown.hpp"

#include <cmark-gfm-core-extensions.h>
#include <cmark-gfm-extension_api.h>
#include <cmark-gfm.h>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>

#include "code_highlight.hpp"
#include "diff_lines.hpp"
#include "style_sheet.hpp"
#include "velmora/events/text_clean.hpp"

namespace velmora::renderer {

using events::clean_line;
using events::safe_link_target;

namespace {

using term::Style;

/// Deeper block nesting is flattened to text: each level narrows the lines, and recursion on a
/// hostile ">>>>>…" must not exhaust the stack.
constexpr int MAX_BLOCK_DEPTH = 16;
constexpr int MIN_TABLE_COLUMN = 3;

struct NodeDeleter {
  void operator()(cmark_node* node) const { cmark_node_free(node); }
};
using NodePtr = std::unique_ptr<cmark_node, NodeDeleter>;

NodePtr parse(std::string_view text) {
  static std::once_flag registered;
  std::call_once(registered, cmark_gfm_core_extensions_ensure_registered);
  cmark_parser* parser = cmark_parser_new(CMARK_OPT_DEFAULT);
  for (const char* name : {"table", "strikethrough", "autolink", "tasklist"}) {
    if (auto* extension = cmark_find_syntax_extension(name)) {
      cmark_parser_attach_syntax_extension(parser, extension);
    }
  }
  cmark_parser_feed(parser, text.data(), text.size());
  NodePtr root(cmark_parser_finish(parser));
  cmark_parser_free(parser);
  return root;
}

std::string_view type_name(cmark_node* node) {
  const char* name = cmark_node_get_type_string(node);
  return name ? std::string_view(name) : std::string_view();
}

std::string_view literal(cmark_node* node) {
  const char* text = cmark_node_get_literal(node);
  return text ? std::string_view(text) : std::string_view();
}

std::string inline_text(std::string_view text) {
  std::string out(text);
  std::replace(out.begin(), out.end(), '\t', ' ');
  return out;
}

std::string repeat(std::string_view unit, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += unit;
  return out;
}

// The text of a subtree without structure, for content nested too deep to lay out.
std::string plain_text(cmark_node* root) {
  std::string out;
  cmark_iter* iter = cmark_iter_new(root);
  cmark_event_type event;
  while ((event = cmark_iter_next(iter)) != CMARK_EVENT_DONE) {
    cmark_node* node = cmark_iter_get_node(iter);
    if (event == CMARK_EVENT_EXIT) {
      if (cmark_node_get_type(node) == CMARK_NODE_PARAGRAPH) out += '\n';
      continue;
    }
    switch (cmark_node_get_type(node)) {
      case CMARK_NODE_SOFTBREAK:
        out += ' ';
        break;
      case CMARK_NODE_LINEBREAK:
        out += '\n';
        break;
      default:
        out += inline_text(literal(node));
        break;
    }
  }
  cmark_iter_free(iter);
  return out;
}

class Renderer {
 public:
  explicit Renderer(const MarkdownOptions& options) : options_(options) {}

  std::vector<Line> document(cmark_node* root, std::string_view text) {
    const auto paragraph = [](cmark_node* node) {
      return node && cmark_node_get_type(node) == CMARK_NODE_PARAGRAPH ? node : nullptr;
    };
    first_paragraph_ = paragraph(cmark_node_first_child(root));
    if (options_.open_tail) {
      last_paragraph_ = paragraph(cmark_node_last_child(root));
      // The parse drops a paragraph's closing blanks; the text after the window needs them.
      trailing_blanks_ = text.size() - std::min(text.size(), text.find_last_not_of(' ') + 1);
    }
    std::vector<Line> out, blocks;
    if (!first_paragraph_) out = wrap_runs(options_.lead_in, std::max(options_.width, 8));
    children(root, options_.width, 0, 0, false, blocks);
    if (!out.empty() && !blocks.empty()) out.emplace_back();
    out.insert(out.end(), std::make_move_iterator(blocks.begin()),
               std::make_move_iterator(blocks.end()));
    return out;
  }

 private:
  // Inline content of a block as runs; links, emphasis and code styled.
  Line inlines(cmark_node* parent, const Style& base) {
    Line runs;
    std::vector<Style> styles{base};
    struct OpenLink {
      std::string url;
      std::size_t text_start;
      bool linked;
    };
    std::vector<OpenLink> links;
    std::string plain;  // text so far, to tell an autolink (text == address) from a named link
    const auto add = [&](const Style& style, std::string_view text) {
      append_run(runs, style, text);
      plain += text;
    };
    cmark_iter* iter = cmark_iter_new(parent);
    cmark_event_type event;
    while ((event = cmark_iter_next(iter)) != CMARK_EVENT_DONE) {
      cmark_node* node = cmark_iter_get_node(iter);
      if (node == parent) continue;
      const bool enter = event == CMARK_EVENT_ENTER;
      switch (cmark_node_get_type(node)) {
        case CMARK_NODE_TEXT:
          add(styles.back(), inline_text(literal(node)));
          break;
        case CMARK_NODE_SOFTBREAK:
          add(styles.back(), " ");
          break;
        case CMARK_NODE_LINEBREAK:
          add(styles.back(), "\n");
          break;
        case CMARK_NODE_CODE:
          if (options_.color) {
            add(styles.back().combined(renderer::styles().code), inline_text(literal(node)));
          } else {
            add(styles.back(), "`" + inline_text(literal(node)) + "`");
          }
          break;
        case CMARK_NODE_HTML_INLINE:
          add(styles.back().combined(renderer::styles().dim), inline_text(literal(node)));
          break;
        case CMARK_NODE_EMPH:
          if (enter) {
            styles.push_back(styles.back().combined(renderer::styles().italic));
          } else if (styles.size() > 1) {
            styles.pop_back();
          }
          break;
        case CMARK_NODE_STRONG:
          if (enter) {
            styles.push_back(styles.back().combined(renderer::styles().bold));
          } else if (styles.size() > 1) {
            styles.pop_back();
          }
          break;
        case CMARK_NODE_LINK:
        case CMARK_NODE_IMAGE: {
          if (enter) {
            const char* raw_url = cmark_node_get_url(node);
            const std::string url = clean_line(raw_url ? raw_url : "");
            Style style = styles.back().combined(renderer::styles().link);
            const auto target = options_.hyperlinks ? safe_link_target(url) : std::nullopt;
            if (target) style.link = *target;
            styles.push_back(style);
            links.push_back(OpenLink{url, plain.size(), target.has_value()});
          } else if (!links.empty()) {
            if (styles.size() > 1) styles.pop_back();
            const OpenLink link = links.back();
            links.pop_back();
            const std::string_view text = std::string_view(plain).substr(link.text_start);
            if (text.empty() && !link.url.empty()) {
              add(styles.back().combined(renderer::styles().link), link.url);
            } else if (!link.linked && !link.url.empty() && text != link.url &&
                       "mailto:" + std::string(text) != link.url) {
              add(styles.back().combined(renderer::styles().dim), " (" + link.url + ")");
            }
          }
          break;
        }
        default:
          if (type_name(node) == "strikethrough") {
            if (enter) {
              styles.push_back(styles.back().combined(renderer::styles().strike));
            } else if (styles.size() > 1) {
              styles.pop_back();
            }
          } else if (enter) {
            add(styles.back(), inline_text(literal(node)));
          }
          break;
      }
    }
    cmark_iter_free(iter);
    return runs;
  }

  void children(cmark_node* parent, int width, int depth, int list_level, bool tight,
                std::vector<Line>& out) {
    bool first = true;
    for (cmark_node* child = cmark_node_first_child(parent); child;
         child = cmark_node_next(child)) {
      std::vector<Line> lines = block(child, width, depth + 1, list_level);
      if (lines.empty()) continue;
      if (!first && !tight) out.emplace_back();
      out.insert(out.end(), std::make_move_iterator(lines.begin()),
                 std::make_move_iterator(lines.end()));
      first = false;
    }
  }

  std::vector<Line> block(cmark_node* node, int width, int depth, int list_level) {
    width = std::max(width, 8);
    if (depth > MAX_BLOCK_DEPTH) {
      return wrap_runs(Line{term::Segment{Style{}, plain_text(node)}}, width);
    }
    switch (cmark_node_get_type(node)) {
      case CMARK_NODE_PARAGRAPH: {
        Line runs;
        if (node == first_paragraph_) runs = options_.lead_in;
        append_line(runs, inlines(node, Style{}));
        if (node != last_paragraph_) return wrap_runs(runs, width);
        append_run(runs, Style{}, std::string(trailing_blanks_, ' '));
        return wrap_runs_open(runs, width, *options_.open_tail);
      }
      case CMARK_NODE_HEADING: {
        const int level = cmark_node_get_heading_level(node);
        const Style& style = level <= 1   ? renderer::styles().heading1
                             : level == 2 ? renderer::styles().heading2
                                          : renderer::styles().heading3;
        return wrap_runs(inlines(node, style), width);
      }
      case CMARK_NODE_THEMATIC_BREAK:
        return {Line{term::Segment{renderer::styles().dim, repeat("─", width)}}};
      case CMARK_NODE_CODE_BLOCK:
        return code_block(node, width);
      case CMARK_NODE_HTML_BLOCK: {
        std::string text = expand_tabs(literal(node));
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return hard_wrap_runs(Line{term::Segment{renderer::styles().dim, text}}, width);
      }
      case CMARK_NODE_BLOCK_QUOTE:
        return block_quote(node, width, depth, list_level);
      case CMARK_NODE_LIST:
        return list(node, width, depth, list_level);
      default:
        break;
    }
    if (type_name(node) == "table") return table(node, width);
    std::vector<Line> out;
    children(node, width, depth, list_level, false, out);
    return out;
  }

  std::vector<Line> code_block(cmark_node* node, int width) {
    const char* info_raw = cmark_node_get_fence_info(node);
    std::string info = clean_line(info_raw ? info_raw : "");
    if (const auto blank = info.find(' '); blank != std::string::npos) info.resize(blank);
    const std::string language = info;
    info = truncate_text(info, std::max(width - 6, 1));
    std::string code = expand_tabs(literal(node));
    if (!code.empty() && code.back() == '\n') code.pop_back();

    std::vector<Line> out;
    if (info.empty()) {
      out.push_back(Line{term::Segment{renderer::styles().dim, repeat("─", width)}});
    } else {
      const std::string head = "── " + info + " ";
      out.push_back(Line{term::Segment{
          renderer::styles().dim, head + repeat("─", std::max(width - display_width(head), 0))}});
    }
    if (!literal(node).empty()) {
      // Code lines are never re-wrapped: the terminal's own wrapping shows a long one, and
      // copying it gives the line as it was.
      std::vector<Line> lines = code_lines(language, code);
      out.insert(out.end(), std::make_move_iterator(lines.begin()),
                 std::make_move_iterator(lines.end()));
    }
    out.push_back(Line{term::Segment{renderer::styles().dim, repeat("─", width)}});
    return out;
  }

  std::vector<Line> code_lines(const std::string& language, const std::string& code) {
    if (options_.color && options_.highlight) {
      if (is_diff_language(language) || (language.empty() && looks_like_unified_diff(code))) {
        return highlight_diff(code);
      }
      const CodePalette& palette = options_.many_colors ? renderer::styles().code_palette
                                                        : renderer::styles().code_palette_16;
      auto lines = options_.highlight_with
                       ? options_.highlight_with(language, code, palette)
                       : highlight_code(language, code, palette, options_.language_dir);
      if (lines) return std::move(*lines);
    }
    std::vector<Line> lines;
    std::size_t begin = 0;
    while (true) {
      const auto end = code.find('\n', begin);
      lines.push_back(text_line(Style{}, std::string_view(code).substr(
                                             begin, end == std::string::npos ? end : end - begin)));
      if (end == std::string::npos) return lines;
      begin = end + 1;
    }
  }

  std::vector<Line> block_quote(cmark_node* node, int width, int depth, int list_level) {
    std::vector<Line> inner;
    children(node, width - 2, depth, list_level, false, inner);
    std::vector<Line> out;
    out.reserve(inner.size());
    for (auto& line : inner) {
      Line prefixed;
      append_run(prefixed, renderer::styles().dim, line.empty() ? "│" : "│ ");
      append_line(prefixed, line);
      out.push_back(std::move(prefixed));
    }
    return out;
  }

  std::vector<Line> list(cmark_node* node, int width, int depth, int list_level) {
    static constexpr std::array<std::string_view, 3> BULLETS{"•", "◦", "▪"};
    const bool ordered = cmark_node_get_list_type(node) == CMARK_ORDERED_LIST;
    const bool tight = cmark_node_get_list_tight(node) != 0;
    const int start = cmark_node_get_list_start(node);
    const char delim = cmark_node_get_list_delim(node) == CMARK_PAREN_DELIM ? ')' : '.';
    int count = 0;
    for (cmark_node* item = cmark_node_first_child(node); item; item = cmark_node_next(item)) {
      ++count;
    }
    int marker_width = 1;
    if (ordered) {
      const long last = static_cast<long>(start) + std::max(count - 1, 0);
      marker_width = static_cast<int>(std::to_string(last).size()) + 1;
    }
    std::vector<Line> out;
    int index = 0;
    for (cmark_node* item = cmark_node_first_child(node); item;
         item = cmark_node_next(item), ++index) {
      Line marker;
      if (type_name(item) == "tasklist") {
        const bool done = cmark_gfm_extensions_get_tasklist_item_checked(item);
        append_run(marker, done ? renderer::styles().green : renderer::styles().marker,
                   done ? "☑" : "☐");
      } else if (ordered) {
        std::string number = std::to_string(static_cast<long>(start) + index) + delim;
        number.insert(
            0,
            static_cast<std::size_t>(std::max(marker_width - static_cast<int>(number.size()), 0)),
            ' ');
        append_run(marker, renderer::styles().marker, number);
      } else {
        append_run(marker, renderer::styles().marker,
                   BULLETS[static_cast<std::size_t>(list_level) % BULLETS.size()]);
      }
      const int indent = line_width(marker) + 1;
      std::vector<Line> content;
      children(item, width - indent, depth, list_level + 1, tight, content);
      if (content.empty()) content.emplace_back();
      if (index > 0 && !tight) out.emplace_back();
      for (std::size_t k = 0; k < content.size(); ++k) {
        Line line;
        if (k == 0) {
          line = marker;
          append_run(line, Style{}, " ");
        } else if (!content[k].empty()) {
          append_run(line, Style{}, std::string(static_cast<std::size_t>(indent), ' '));
        }
        append_line(line, content[k]);
        out.push_back(std::move(line));
      }
    }
    return out;
  }

  // Column widths within `available`: shared out first up to each column's longest word, so
  // cells wrap between words where the width allows, then up to the natural widths.
  static std::vector<int> fit_columns(const std::vector<int>& natural,
                                      const std::vector<int>& longest_word, int available) {
    const int total = std::accumulate(natural.begin(), natural.end(), 0);
    if (total <= available) return natural;
    std::vector<int> widths(natural.size(), MIN_TABLE_COLUMN);
    int remaining = available - MIN_TABLE_COLUMN * static_cast<int>(natural.size());
    const auto share_out = [&](const std::vector<int>& target) {
      std::vector<std::size_t> order(natural.size());
      std::iota(order.begin(), order.end(), 0);
      std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return target[a] - widths[a] < target[b] - widths[b];
      });
      std::size_t left = natural.size();
      for (const std::size_t column : order) {
        const int more = std::clamp(target[column] - widths[column], 0,
                                    std::max(remaining, 0) / static_cast<int>(left));
        widths[column] += more;
        remaining -= more;
        --left;
      }
    };
    std::vector<int> words(natural.size());
    for (std::size_t c = 0; c < natural.size(); ++c) {
      words[c] = std::min(longest_word[c], natural[c]);
    }
    share_out(words);
    share_out(natural);
    return widths;
  }

  static int longest_word(const Line& cell) {
    std::string text;
    for (const auto& run : cell) text += run.text;
    int longest = 0;
    std::size_t begin = 0;
    while (begin <= text.size()) {
      auto end = text.find(' ', begin);
      if (end == std::string::npos) end = text.size();
      longest = std::max(longest, display_width(std::string_view(text).substr(begin, end - begin)));
      begin = end + 1;
    }
    return longest;
  }

  static Line pad(const Line& content, int width, char align) {
    const int gap = std::max(width - line_width(content), 0);
    const int left = align == 'r' ? gap : align == 'c' ? gap / 2 : 0;
    Line line;
    append_run(line, Style{}, std::string(static_cast<std::size_t>(left), ' '));
    append_line(line, content);
    append_run(line, Style{}, std::string(static_cast<std::size_t>(gap - left), ' '));
    return line;
  }

  Line border(const std::vector<int>& widths, std::string_view left, std::string_view middle,
              std::string_view right) {
    std::string text(left);
    for (std::size_t c = 0; c < widths.size(); ++c) {
      if (c > 0) text += middle;
      text += repeat("─", widths[c] + 2);
    }
    text += right;
    return Line{term::Segment{renderer::styles().dim, text}};
  }

  std::vector<Line> table(cmark_node* node, int width) {
    const int columns = std::max<int>(cmark_gfm_extensions_get_table_columns(node), 1);
    const std::uint8_t* aligns = cmark_gfm_extensions_get_table_alignments(node);
    struct Row {
      bool header;
      std::vector<Line> cells;
    };
    std::vector<Row> rows;
    for (cmark_node* row = cmark_node_first_child(node); row; row = cmark_node_next(row)) {
      Row r{type_name(row) == "table_header", {}};
      for (cmark_node* cell = cmark_node_first_child(row);
           cell && static_cast<int>(r.cells.size()) < columns; cell = cmark_node_next(cell)) {
        Line runs = inlines(cell, r.header ? renderer::styles().bold : Style{});
        for (auto& run : runs) std::replace(run.text.begin(), run.text.end(), '\n', ' ');
        r.cells.push_back(std::move(runs));
      }
      r.cells.resize(static_cast<std::size_t>(columns));
      rows.push_back(std::move(r));
    }
    const int available = width - (3 * columns + 1);
    if (available < columns * MIN_TABLE_COLUMN) return table_as_list(rows, width);

    std::vector<int> natural(static_cast<std::size_t>(columns), 1);
    std::vector<int> words(static_cast<std::size_t>(columns), 1);
    for (const auto& row : rows) {
      for (std::size_t c = 0; c < row.cells.size(); ++c) {
        natural[c] = std::max(natural[c], line_width(row.cells[c]));
        words[c] = std::max(words[c], longest_word(row.cells[c]));
      }
    }
    const std::vector<int> widths = fit_columns(natural, words, available);
    std::vector<Line> out;
    out.push_back(border(widths, "┌", "┬", "┐"));
    for (std::size_t r = 0; r < rows.size(); ++r) {
      std::vector<std::vector<Line>> wrapped;
      std::size_t height = 1;
      for (std::size_t c = 0; c < rows[r].cells.size(); ++c) {
        wrapped.push_back(wrap_runs(rows[r].cells[c], widths[c]));
        height = std::max(height, wrapped.back().size());
      }
      for (std::size_t k = 0; k < height; ++k) {
        Line line;
        append_run(line, renderer::styles().dim, "│");
        for (std::size_t c = 0; c < wrapped.size(); ++c) {
          const char align = aligns ? static_cast<char>(aligns[c]) : 'l';
          append_run(line, Style{}, " ");
          append_line(line, pad(k < wrapped[c].size() ? wrapped[c][k] : Line{}, widths[c], align));
          append_run(line, Style{}, " ");
          append_run(line, renderer::styles().dim, "│");
        }
        out.push_back(std::move(line));
      }
      if (rows[r].header) out.push_back(border(widths, "├", "┼", "┤"));
    }
    out.push_back(border(widths, "└", "┴", "┘"));
    return out;
  }

  // Too many columns for the width: each row becomes "• header: value; header: value".
  template <class Rows>
  std::vector<Line> table_as_list(const Rows& rows, int width) {
    const Line* headers = nullptr;
    std::vector<Line> out;
    for (const auto& row : rows) {
      if (row.header) {
        headers = row.cells.data();
        continue;
      }
      Line line;
      for (std::size_t c = 0; c < row.cells.size(); ++c) {
        if (c > 0) append_run(line, renderer::styles().dim, "; ");
        if (headers && line_width(headers[c]) > 0) {
          append_line(line, headers[c]);
          append_run(line, renderer::styles().dim, ": ");
        }
        append_line(line, row.cells[c]);
      }
      auto wrapped = wrap_runs(line, width - 2);
      for (std::size_t k = 0; k < wrapped.size(); ++k) {
        Line prefixed;
        append_run(prefixed, renderer::styles().marker, k == 0 ? "• " : "  ");
        append_line(prefixed, wrapped[k]);
        out.push_back(std::move(prefixed));
      }
    }
    return out;
  }

  const MarkdownOptions& options_;
  cmark_node* first_paragraph_ = nullptr;
  cmark_node* last_paragraph_ = nullptr;
  std::size_t trailing_blanks_ = 0;
};

std::vector<Line> plain_paragraphs(std::string_view text, const MarkdownOptions& options) {
  int column = 0;
  return render_plain(text, options, column);
}

}  // namespace

std::vector<Line> render_plain(std::string_view text, const MarkdownOptions& options, int& column) {
  const int width = std::max(options.width, 8);
  Line runs = options.lead_in;
  append_run(runs, Style{}, expand_tabs(text, 4, column));
  if (options.open_tail) return wrap_runs_open(runs, width, *options.open_tail);
  return wrap_runs(runs, width);
}

std::vector<Line> render_markdown(std::string_view text, const MarkdownOptions& options) {
  if (text.size() > MAX_MARKDOWN_BYTES) return plain_paragraphs(text, options);
  const NodePtr root = parse(text);
  if (!root) return plain_paragraphs(text, options);
  return Renderer(options).document(root.get(), text);
}

std::size_t stable_block_prefix(std::string_view text) {
  const auto last_newline = text.rfind('\n');
  if (last_newline == std::string_view::npos) return 0;
  const std::string_view complete = text.substr(0, last_newline + 1);
  const NodePtr root = parse(complete);
  if (!root) return 0;
  cmark_node* first = cmark_node_first_child(root.get());
  cmark_node* last = cmark_node_last_child(root.get());
  if (!first || first == last) return 0;
  const int line = cmark_node_get_start_line(last);
  if (line <= 1) return 0;
  std::size_t offset = 0;
  for (int k = 1; k < line; ++k) {
    const auto newline = complete.find('\n', offset);
    if (newline == std::string_view::npos) return 0;
    offset = newline + 1;
  }
  return offset;
}

}  // namespace velmora::renderer
