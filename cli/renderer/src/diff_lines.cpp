#include "diff_lines.hpp"

#include <charconv>
#include <optional>

#include "style_sheet.hpp"
#include "velmora/base/strings.hpp"

namespace velmora::renderer {
namespace {

struct HunkSize {
  long old_lines = 1;
  long new_lines = 1;
};

// "-12,3" or "+7": the count after the comma, 1 without one.
std::optional<long> range_count(std::string_view range, char sign) {
  if (range.size() < 2 || range[0] != sign) return std::nullopt;
  range.remove_prefix(1);
  const auto comma = range.find(',');
  const std::string_view start = range.substr(0, comma);
  long value = 0;
  auto [end, ec] = std::from_chars(start.data(), start.data() + start.size(), value);
  if (ec != std::errc{} || end != start.data() + start.size()) return std::nullopt;
  if (comma == std::string_view::npos) return 1;
  const std::string_view count = range.substr(comma + 1);
  auto [count_end, count_ec] = std::from_chars(count.data(), count.data() + count.size(), value);
  if (count_ec != std::errc{} || count_end != count.data() + count.size() || value < 0) {
    return std::nullopt;
  }
  return value;
}

// "@@ -a,b +c,d @@ context".
std::optional<HunkSize> hunk_header(std::string_view line) {
  if (!line.starts_with("@@ ")) return std::nullopt;
  line.remove_prefix(3);
  const auto space = line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const auto old_lines = range_count(line.substr(0, space), '-');
  line.remove_prefix(space + 1);
  const auto end = line.find(' ');
  const auto new_lines = range_count(line.substr(0, end), '+');
  if (!old_lines || !new_lines || end == std::string_view::npos) return std::nullopt;
  if (!line.substr(end).starts_with(" @@")) return std::nullopt;
  return HunkSize{*old_lines, *new_lines};
}

bool is_file_header(std::string_view line) {
  for (const std::string_view start :
       {"diff ", "index ", "--- ", "+++ ", "new file mode", "deleted file mode", "old mode",
        "new mode", "similarity index", "rename from", "rename to", "copy from", "copy to",
        "Binary files", "Only in "}) {
    if (line.starts_with(start)) return true;
  }
  return line == "---" || line == "+++";
}

template <class Each>
void for_each_line(std::string_view code, Each each) {
  std::size_t begin = 0;
  while (true) {
    const auto end = code.find('\n', begin);
    each(code.substr(begin, end == std::string_view::npos ? end : end - begin));
    if (end == std::string_view::npos) return;
    begin = end + 1;
  }
}

}  // namespace

bool is_diff_language(std::string_view language) {
  const std::string name = base::ascii_lower(base::trim(language));
  return name == "diff" || name == "patch" || name == "udiff";
}

bool looks_like_unified_diff(std::string_view code) {
  bool in_diff = false;
  bool fits = true;
  for_each_line(code, [&](std::string_view line) {
    if (!fits) return;
    if (hunk_header(line)) {
      in_diff = true;
      return;
    }
    if (!in_diff) return;
    const char first = line.empty() ? ' ' : line[0];
    fits = first == ' ' || first == '+' || first == '-' || first == '\\' || is_file_header(line);
  });
  return in_diff && fits;
}

std::vector<Line> highlight_diff(std::string_view code) {
  const Styles& s = styles();
  std::vector<Line> out;
  // Lines of the current hunk still to come on the old and the new side. Past a hunk (or with
  // counts that are wrong, as hand-written diffs often have) lines go by their first character.
  long old_left = 0;
  long new_left = 0;
  for_each_line(code, [&](std::string_view line) {
    const term::Style* style = nullptr;
    const char first = line.empty() ? ' ' : line[0];
    if (const auto hunk = hunk_header(line)) {
      style = &s.diff_hunk;
      old_left = hunk->old_lines;
      new_left = hunk->new_lines;
    } else if ((old_left > 0 || new_left > 0) &&
               (first == '+' || first == '-' || first == ' ' || first == '\\')) {
      if (first == '+') {
        style = &s.diff_added;
        --new_left;
      } else if (first == '-') {
        style = &s.diff_removed;
        --old_left;
      } else if (first == ' ') {
        --old_left;
        --new_left;
      } else {
        style = &s.dim;
      }
    } else if (is_file_header(line)) {
      style = &s.diff_file;
      old_left = new_left = 0;
    } else if (first == '+') {
      style = &s.diff_added;
    } else if (first == '-') {
      style = &s.diff_removed;
    } else if (line.starts_with("@@")) {
      style = &s.diff_hunk;
    }
    out.push_back(text_line(style ? *style : term::Style{}, line));
  });
  return out;
}

}  // namespace velmora::renderer
