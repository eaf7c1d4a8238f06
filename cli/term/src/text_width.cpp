#include "velmora/term/text_width.hpp"

#include <utf8proc.h>

#include <array>

#include <fmt/format.h>

namespace velmora::term {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

struct Decoded {
  char32_t cp;
  std::size_t length;
  bool valid;
};

Decoded decode_at(std::string_view text, std::size_t pos) {
  utf8proc_int32_t cp = 0;
  const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + pos),
                                  static_cast<utf8proc_ssize_t>(text.size() - pos), &cp);
  if (n <= 0) return {REPLACEMENT, 1, false};
  return {static_cast<char32_t>(cp), static_cast<std::size_t>(n), true};
}

bool is_control(char32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp < 0xA0); }

bool is_regional_indicator(char32_t cp) { return cp >= 0x1F1E6 && cp <= 0x1F1FF; }

void append_utf8(std::string& out, char32_t cp) {
  utf8proc_uint8_t buf[4];
  const auto n = utf8proc_encode_char(static_cast<utf8proc_int32_t>(cp), buf);
  out.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
}

}  // namespace

std::size_t next_grapheme(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return text.size();
  Decoded first = decode_at(text, pos);
  std::size_t end = pos + first.length;
  if (!first.valid || is_control(first.cp)) return end;
  utf8proc_int32_t state = 0;
  utf8proc_int32_t prev = static_cast<utf8proc_int32_t>(first.cp);
  while (end < text.size()) {
    const Decoded next = decode_at(text, end);
    if (!next.valid || is_control(next.cp)) break;
    const auto cp = static_cast<utf8proc_int32_t>(next.cp);
    if (utf8proc_grapheme_break_stateful(prev, cp, &state)) break;
    prev = cp;
    end += next.length;
  }
  return end;
}

std::size_t prev_grapheme(std::string_view text, std::size_t pos) {
  if (pos == 0) return 0;
  if (pos > text.size()) pos = text.size();
  // Clusters are found forwards: scan from the start of the line (a line feed always breaks).
  std::size_t start = text.rfind('\n', pos - 1);
  start = (start == std::string_view::npos) ? 0 : start;
  if (start == pos - 1) return start;
  std::size_t at = start;
  std::size_t last = start;
  while (at < pos) {
    last = at;
    at = next_grapheme(text, at);
  }
  return last;
}

std::vector<std::string_view> grapheme_clusters(std::string_view text) {
  std::vector<std::string_view> out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = next_grapheme(text, at);
    out.push_back(text.substr(at, end - at));
    at = end;
  }
  return out;
}

int cluster_width(std::string_view cluster) {
  if (cluster.empty()) return 0;
  const Decoded first = decode_at(cluster, 0);
  if (!first.valid) return 1;
  if (is_control(first.cp)) return 0;
  int width = utf8proc_charwidth(static_cast<utf8proc_int32_t>(first.cp));
  bool emoji_presentation = false;
  int regional = is_regional_indicator(first.cp) ? 1 : 0;
  for (std::size_t at = first.length; at < cluster.size();) {
    const Decoded d = decode_at(cluster, at);
    if (d.cp == 0xFE0F) emoji_presentation = true;
    if (is_regional_indicator(d.cp)) ++regional;
    at += d.length;
  }
  // Terminals draw flags and emoji-presentation sequences two columns wide.
  if (emoji_presentation || regional == 2) width = 2;
  if (width == 0 && first.cp >= 0x20) {
    const auto category = utf8proc_category(static_cast<utf8proc_int32_t>(first.cp));
    if (category != UTF8PROC_CATEGORY_MN && category != UTF8PROC_CATEGORY_ME &&
        category != UTF8PROC_CATEGORY_CF) {
      width = 1;
    }
  }
  return width > 2 ? 2 : width;
}

int display_width(std::string_view text) {
  int width = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = next_grapheme(text, at);
    width += cluster_width(text.substr(at, end - at));
    at = end;
  }
  return width;
}

std::string printable_text(std::string_view text, bool keep_newlines) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const Decoded d = decode_at(text, at);
    at += d.length;
    if (!d.valid) {
      append_utf8(out, REPLACEMENT);
    } else if (d.cp == '\n' && keep_newlines) {
      out += '\n';
    } else if (d.cp == '\t') {
      out += "    ";
    } else if (d.cp < 0x20) {
      out += '^';
      out += static_cast<char>(d.cp + 0x40);
    } else if (d.cp == 0x7F) {
      out += "^?";
    } else if (d.cp >= 0x80 && d.cp < 0xA0) {
      out += fmt::format("<{:02x}>", static_cast<unsigned>(d.cp));
    } else {
      out.append(text.substr(at - d.length, d.length));
    }
  }
  return out;
}

std::size_t skip_escape_sequence(std::string_view bytes, std::size_t at) {
  ++at;
  if (at >= bytes.size()) return at;
  if (bytes[at] == '[') {
    ++at;
    while (at < bytes.size() && !(bytes[at] >= 0x40 && bytes[at] <= 0x7E)) ++at;
    return at < bytes.size() ? at + 1 : at;
  }
  if (bytes[at] == ']') {
    // OSC runs to BEL or ST (ESC \\).
    ++at;
    while (at < bytes.size() && bytes[at] != '\a' &&
           !(bytes[at] == '\x1b' && at + 1 < bytes.size() && bytes[at + 1] == '\\')) {
      ++at;
    }
    if (at >= bytes.size()) return at;
    return at + (bytes[at] == '\a' ? 1 : 2);
  }
  return at + 1;
}

int visible_width(std::string_view bytes) {
  int width = 0;
  std::size_t at = 0;
  std::size_t text_start = 0;
  auto flush = [&](std::size_t end) {
    if (end > text_start) width += display_width(bytes.substr(text_start, end - text_start));
  };
  while (at < bytes.size()) {
    if (bytes[at] != '\x1b') {
      ++at;
      continue;
    }
    flush(at);
    at = skip_escape_sequence(bytes, at);
    text_start = at;
  }
  flush(bytes.size());
  return width;
}

std::string fit_visible(std::string_view bytes, int width) {
  std::string out;
  int used = 0;
  bool cut = false;
  bool saw_escape = false;
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes[at] == '\x1b') {
      saw_escape = true;
      const std::size_t start = at;
      at = skip_escape_sequence(bytes, at);
      out.append(bytes.substr(start, at - start));
      continue;
    }
    const std::size_t end = next_grapheme(bytes, at);
    std::size_t text_end = end;
    // A cluster never swallows an escape byte.
    const auto esc = bytes.find('\x1b', at);
    if (esc != std::string_view::npos && esc < text_end) text_end = esc;
    if (text_end == at) text_end = at + 1;
    const std::string_view cluster = bytes.substr(at, text_end - at);
    const int w = cluster_width(cluster);
    if (cut || used + w > width) {
      cut = true;
    } else {
      out.append(cluster);
      used += w;
    }
    at = text_end;
  }
  if (cut && saw_escape) out += "\x1b[0m\x1b]8;;\x1b\\";
  return out;
}

std::string pad_right(std::string_view text, int width) {
  std::string out(text);
  const int have = display_width(text);
  if (have < width) out.append(static_cast<std::size_t>(width - have), ' ');
  return out;
}

std::string_view fit_width(std::string_view text, int width) {
  int used = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = next_grapheme(text, at);
    const int w = cluster_width(text.substr(at, end - at));
    if (used + w > width) break;
    used += w;
    at = end;
  }
  return text.substr(0, at);
}

std::string unicode_lower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  std::size_t pos = 0;
  while (pos < text.size()) {
    utf8proc_int32_t c = 0;
    const auto n =
        utf8proc_iterate(bytes + pos, static_cast<utf8proc_ssize_t>(text.size() - pos), &c);
    if (n <= 0) {
      out += text[pos++];
      continue;
    }
    pos += static_cast<std::size_t>(n);
    if (c == 0x130) {
      // The one unconditional lower-case mapping to two code points: i + combining dot above.
      out += "i\u0307";
      continue;
    }
    std::array<utf8proc_uint8_t, 4> encoded{};
    const auto length = utf8proc_encode_char(utf8proc_tolower(c), encoded.data());
    out.append(reinterpret_cast<const char*>(encoded.data()), static_cast<std::size_t>(length));
  }
  return out;
}

}  // namespace velmora::term
