#include "velmora/events/text_clean.hpp"

#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "velmora/base/json_text.hpp"
#include "velmora/base/strings.hpp"

namespace velmora::events {
namespace {

constexpr std::size_t MAX_LINK_BYTES = 2048;

// The explicit bidirectional embeddings, overrides and isolates (U+202A..U+202E,
// U+2066..U+2069): they make a terminal show text in another order than it is written
// ("abc<U+202E>txt.exe" reads as "abcexe.txt"). The code point when `text` starts with one.
std::optional<unsigned> bidi_control_at(std::string_view text) {
  if (text.size() < 3 || static_cast<unsigned char>(text[0]) != 0xe2) return std::nullopt;
  const auto second = static_cast<unsigned char>(text[1]);
  const auto third = static_cast<unsigned char>(text[2]);
  if ((second == 0x80 && third >= 0xaa && third <= 0xae) ||
      (second == 0x81 && third >= 0xa6 && third <= 0xa9)) {
    return 0x2000u + ((second & 0x3fu) << 6) + (third & 0x3fu);
  }
  return std::nullopt;
}

bool needs_cleaning(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 && c != '\n' && c != '\t') return true;
    if (c == 0x7f) return true;
    if (c == 0xc2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9f) return true;
    }
    if (c == 0xe2 && bidi_control_at(text.substr(i))) return true;
  }
  return false;
}

// U+2400 + c: the Unicode "control pictures" show what was there without acting on it.
void append_control_picture(std::string& out, unsigned char c) {
  const unsigned code = c == 0x7f ? 0x2421u : 0x2400u + c;
  out += static_cast<char>(0xe0 | (code >> 12));
  out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
  out += static_cast<char>(0x80 | (code & 0x3f));
}

std::string clean_valid(std::string_view text) {
  if (!needs_cleaning(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 16);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) {
      append_control_picture(out, c);
    } else if (c == 0xc2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      out += "\xef\xbf\xbd";  // C1 controls (8-bit CSI among them) become U+FFFD
      ++i;
    } else if (const auto bidi = c == 0xe2 ? bidi_control_at(text.substr(i)) : std::nullopt) {
      // Shown by name, so the text around it keeps its written order.
      out += fmt::format("<U+{:04X}>", *bidi);
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

std::string clean_text(std::string_view text) {
  if (velmora::base::is_valid_utf8(text)) return clean_valid(text);
  return clean_valid(velmora::base::sanitize_utf8(text));
}

std::string clean_line(std::string_view text) {
  std::string out = clean_text(text);
  std::replace_if(
      out.begin(), out.end(), [](char c) { return c == '\n' || c == '\t'; }, ' ');
  return out;
}

std::optional<std::string> safe_link_target(std::string_view url) {
  if (url.empty() || url.size() > MAX_LINK_BYTES) return std::nullopt;
  for (const char ch : url) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7f) return std::nullopt;
  }
  static constexpr std::array<std::string_view, 5> SCHEMES{"http://", "https://",
                                                            "mailto:", "ftp://", "ftps://"};
  const std::string lower = base::ascii_lower(url.substr(0, std::min<std::size_t>(url.size(), 8)));
  for (const auto scheme : SCHEMES) {
    if (lower.starts_with(scheme)) return std::string(url);
  }
  return std::nullopt;
}

}  // namespace velmora::events
