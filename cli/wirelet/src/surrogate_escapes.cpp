#include "surrogate_escapes.hpp"

#include <algorithm>
#include <vector>

namespace wirelet::detail {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of the "\uXXXX" escape at `at`, or -1 when none is there.
int escape_unit(std::string_view text, std::size_t at) {
  if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return -1;
  int unit = 0;
  for (std::size_t i = at + 2; i < at + 6; ++i) {
    const int digit = hex_digit(text[i]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

bool is_high(int unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low(int unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

constexpr std::string_view REPLACEMENT_ESCAPE = "\\ufffd";

}  // namespace

bool may_hold_surrogate_escape(std::string_view frame) noexcept {
  for (auto at = frame.find('\\'); at != std::string_view::npos; at = frame.find('\\', at + 1)) {
    if (at + 3 >= frame.size() || frame[at + 1] != 'u' || (frame[at + 2] | 0x20) != 'd') continue;
    const char third = static_cast<char>(frame[at + 3] | 0x20);
    if (third == '8' || third == '9' || (third >= 'a' && third <= 'f')) return true;
  }
  return false;
}

std::string replace_lone_surrogates(std::string_view frame, DeltaEdges& edges) {
  std::string out;
  out.reserve(frame.size());
  // Where the scan stands: the open containers and, for the first two levels, the key whose
  // value comes next (raw, as written), which is all it takes to find the delta text.
  std::vector<char> open;
  std::string_view keys[2];
  bool expect_key = false;
  std::size_t i = 0;
  while (i < frame.size()) {
    const char c = frame[i];
    if (c != '"') {
      switch (c) {
        case '{':
          open.push_back('{');
          expect_key = true;
          break;
        case '[':
          open.push_back('[');
          expect_key = false;
          break;
        case '}':
        case ']':
          if (!open.empty()) open.pop_back();
          expect_key = false;
          break;
        case ',':
          expect_key = !open.empty() && open.back() == '{';
          break;
        case ':':
          expect_key = false;
          break;
        default:
          break;
      }
      out += c;
      ++i;
      continue;
    }

    const bool is_key = expect_key;
    const std::size_t depth = open.size();
    const bool delta_text =
        !is_key && !open.empty() && open.front() == '{' &&
        ((depth == 1 && keys[0] == "delta") ||
         (depth == 2 && open[1] == '{' && keys[0] == "payload" && keys[1] == "delta"));
    out += '"';
    const std::size_t start = ++i;
    while (i < frame.size() && frame[i] != '"') {
      if (frame[i] != '\\') {
        auto next = frame.find_first_of("\"\\", i);
        if (next == std::string_view::npos) next = frame.size();
        out.append(frame.substr(i, next - i));
        i = next;
        continue;
      }
      const int unit = escape_unit(frame, i);
      if (unit < 0) {
        // Any other escape, copied whole so an escaped quote does not end the string here.
        out.append(frame.substr(i, 2));
        i += 2;
        continue;
      }
      if (is_high(unit) && is_low(escape_unit(frame, i + 6))) {
        out.append(frame.substr(i, 12));
        i += 12;
        continue;
      }
      if (is_high(unit) && delta_text && i + 6 < frame.size() && frame[i + 6] == '"') {
        edges.ends_high = static_cast<char16_t>(unit);
        i += 6;
        continue;
      }
      if (is_low(unit) && delta_text && i == start) edges.starts_low = static_cast<char16_t>(unit);
      out.append(is_high(unit) || is_low(unit) ? REPLACEMENT_ESCAPE : frame.substr(i, 6));
      i += 6;
    }
    if (is_key && depth >= 1 && depth <= 2) {
      keys[depth - 1] = frame.substr(start, std::min(i, frame.size()) - start);
    }
    if (i < frame.size()) {
      out += '"';
      ++i;
    }
  }
  return out;
}

}  // namespace wirelet::detail
