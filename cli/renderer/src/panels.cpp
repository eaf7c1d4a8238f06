#include "panels.hpp"

#include <cctype>
#include <ctime>

#include <fmt/format.h>

#include "velmora/events/text_clean.hpp"

namespace velmora::renderer {

using events::clean_line;
using events::clean_text;

namespace {

using term::Segment;
using term::Style;

/// A detail line longer than this is cut unless `--debug` asks for everything.
constexpr int MAX_DETAIL_COLUMNS = 300;
/// Columns a help description needs beside its usage; fewer and it goes on its own lines.
constexpr int MIN_HELP_DESCRIPTION = 16;

Style style_of(std::string_view words) { return Style::parse(words).value_or(Style{}); }

Line text_line(const Style& style, std::string_view text) {
  Line line;
  append_run(line, style, text);
  return line;
}

std::vector<Line> indented(const Line& runs, int width, int indent, const Line& first_prefix) {
  std::vector<Line> out;
  const std::string pad(static_cast<std::size_t>(indent), ' ');
  auto wrapped = wrap_runs(runs, std::max(width - indent, 8));
  for (std::size_t k = 0; k < wrapped.size(); ++k) {
    Line line = k == 0 ? first_prefix : text_line(Style{}, pad);
    append_line(line, wrapped[k]);
    out.push_back(std::move(line));
  }
  return out;
}

std::string home_relative(const std::string& path, const std::string& home) {
  if (home.size() > 1 && path.starts_with(home) &&
      (path.size() == home.size() || path[home.size()] == '/')) {
    return "~" + path.substr(home.size());
  }
  return path;
}

std::string or_dash(const std::optional<std::string>& value) {
  if (!value) return "-";
  std::string text = clean_line(*value);
  return text.empty() ? "-" : text;
}

}  // namespace

std::vector<Line> banner_lines(const BannerInfo& info, const BannerContext& context, int width,
                               bool framed) {
  static const Style title_style = style_of("bold cyan");
  static const Style dim = style_of("dim");
  static const Style border = style_of("cyan");

  std::vector<Line> content;
  Line title = text_line(title_style, PRODUCT_NAME);
  if (!context.version.empty()) {
    // "1.2.3" reads as "v1.2.3"; a build tag is shown as it is.
    const std::string version = clean_line(context.version);
    const bool numeric = std::isdigit(static_cast<unsigned char>(version.front())) != 0;
    append_run(title, dim, (numeric ? " v" : " ") + version);
  }
  content.push_back(std::move(title));
  content.emplace_back();

  std::vector<std::pair<std::string_view, std::string>> rows;
  if (!info.hide_session_details) {
    rows.emplace_back("endpoint", or_dash(info.endpoint));
    rows.emplace_back("user", or_dash(info.user_id));
    const std::string thread = info.thread_id ? clean_line(*info.thread_id) : std::string();
    rows.emplace_back("thread", thread.empty() ? std::string(AWAITING_METADATA) : thread);
  }
  rows.emplace_back("language", or_dash(info.language));
  const std::string cwd = clean_line(home_relative(context.workspace_cwd, context.home));
  rows.emplace_back("cwd", cwd.empty() ? "-" : cwd);
  const std::string branch = clean_line(context.workspace_branch);
  rows.emplace_back("branch", branch.empty() ? "-" : branch);
  for (const auto& [label, value] : rows) {
    Line line = text_line(dim, fmt::format("{:<10}", label));
    append_run(line, Style{}, value);
    content.push_back(std::move(line));
  }
  if (info.hide_session_details) content.push_back(text_line(dim, "session details hidden"));
  content.emplace_back();
  content.push_back(text_line(dim, "/help for commands · /exit to leave"));

  if (!framed) {
    std::vector<Line> out;
    for (auto& line : content) {
      if (!line.empty()) out.push_back(std::move(line));
    }
    return out;
  }
  int inner = 0;
  for (const auto& line : content) inner = std::max(inner, line_width(line));
  inner = std::max(std::min(inner, width - 4), 10);
  std::string rule;
  for (int i = 0; i < inner + 2; ++i) rule += "─";
  std::vector<Line> out;
  out.push_back(text_line(border, "╭" + rule + "╮"));
  for (const auto& line : content) {
    Line boxed = text_line(border, "│");
    append_run(boxed, Style{}, " ");
    const Line cut = truncate_line(line, inner);
    append_line(boxed, cut);
    append_run(boxed, Style{},
               std::string(static_cast<std::size_t>(inner - line_width(cut) + 1), ' '));
    append_run(boxed, border, "│");
    out.push_back(std::move(boxed));
  }
  out.push_back(text_line(border, "╰" + rule + "╯"));
  return out;
}

std::vector<Line> help_lines(const std::vector<std::pair<std::string, std::string>>& entries,
                             int width) {
  static const Style heading = style_of("bold");
  static const Style usage_style = style_of("cyan");
  static const Style dim = style_of("dim");
  std::vector<Line> out;
  out.push_back(text_line(heading, "Commands"));
  int column = 0;
  for (const auto& entry : entries)
    column = std::max(column, display_width(clean_line(entry.first)));
  column = std::min(column, std::max(width / 2, 12));
  for (const auto& [usage_raw, description_raw] : entries) {
    const std::string usage = clean_line(usage_raw);
    const std::string description = clean_line(description_raw);
    Line prefix = text_line(Style{}, "  ");
    append_run(prefix, usage_style, usage);
    const int used = display_width(usage);
    int indent = column + 4;
    if (width - indent < MIN_HELP_DESCRIPTION) {
      // Too narrow for the description beside the usage: it goes under it, so it wraps at
      // words instead of running past the edge.
      out.push_back(std::move(prefix));
      indent = 4;
      prefix = text_line(Style{}, std::string(static_cast<std::size_t>(indent), ' '));
    } else if (used > column) {
      // A usage wider than the column gets its own line; the description goes under it.
      out.push_back(std::move(prefix));
      prefix = text_line(Style{}, std::string(static_cast<std::size_t>(indent), ' '));
    } else {
      append_run(prefix, Style{}, std::string(static_cast<std::size_t>(column - used + 2), ' '));
    }
    for (auto& line : indented(text_line(dim, description), width, indent, prefix)) {
      out.push_back(std::move(line));
    }
  }
  return out;
}

std::vector<Line> invocation_error_lines(std::string_view summary, std::string_view hint,
                                         const std::optional<std::string>& detail, bool debug,
                                         int width) {
  static const Style error = style_of("bold red");
  static const Style dim = style_of("dim");
  std::vector<Line> out;
  for (auto& line :
       indented(text_line(error, clean_text(summary)), width, 2, text_line(error, "✗ "))) {
    out.push_back(std::move(line));
  }
  const std::string hint_text = clean_text(hint);
  if (!hint_text.empty()) {
    for (auto& line : indented(text_line(Style{}, hint_text), width, 2, text_line(Style{}, "  "))) {
      out.push_back(std::move(line));
    }
  }
  if (detail) {
    std::string text = clean_text(*detail);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (!debug) {
      const auto newline = text.find('\n');
      const bool cut = newline != std::string::npos || display_width(text) > MAX_DETAIL_COLUMNS;
      text = truncate_text(text.substr(0, newline), MAX_DETAIL_COLUMNS);
      if (cut) text += " (--debug shows the full detail)";
    }
    if (!text.empty()) {
      for (auto& line : indented(text_line(dim, text), width, 2, text_line(Style{}, "  "))) {
        out.push_back(std::move(line));
      }
    }
  }
  return out;
}

std::vector<Line> notice_lines(std::string_view text, bool warning, int width) {
  static const Style dim = style_of("dim");
  static const Style yellow = style_of("yellow");
  return wrap_runs(text_line(warning ? yellow : dim, clean_text(text)), width);
}

std::string clock_time(std::chrono::system_clock::time_point at) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
  std::tm parts{};
  if (!localtime_r(&seconds, &parts)) return "--:--:--";
  return fmt::format("{:02}:{:02}:{:02}", parts.tm_hour, parts.tm_min, parts.tm_sec);
}

std::vector<Line> thinking_list_lines(const ThinkingCache& cache, int width) {
  static const Style heading = style_of("bold");
  static const Style dim = style_of("dim");
  static const Style id_style = style_of("cyan");
  std::vector<Line> out;
  if (cache.blocks().empty()) {
    out.push_back(text_line(dim, "No thinking recorded in this session yet."));
    return out;
  }
  Line head = text_line(heading, "Thinking");
  append_run(head, dim, " · /thinking <id> shows one in full");
  out.push_back(std::move(head));
  std::size_t position = 0;
  for (const auto& block : cache.blocks()) {
    ++position;
    Line line = text_line(dim, fmt::format("{:>4}  {}  ", position, clock_time(block.at)));
    append_run(line, id_style, clean_line(block.id));
    append_run(line, Style{}, "  ");
    const auto start = block.text.find_first_not_of(" \n\t");
    const std::string first =
        start == std::string::npos
            ? std::string()
            : clean_line(
                  std::string_view(block.text).substr(start, block.text.find('\n', start) - start));
    append_run(line, Style{}, first);
    out.push_back(truncate_line(line, width));
  }
  return out;
}

std::vector<Line> thinking_missing_lines(std::string_view key, int width) {
  static const Style red = style_of("red");
  static const Style dim = style_of("dim");
  Line line = text_line(red, "No thinking block " + clean_line(key) + ".");
  append_run(line, dim, " /thinking lists them.");
  return wrap_runs(line, width);
}

}  // namespace velmora::renderer
