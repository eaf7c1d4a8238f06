#include "velmora/base/strings.hpp"

#include <algorithm>

namespace velmora::base {
namespace {

bool is_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 || cp == 0xA0 ||
         cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
         cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

char ascii_lower_char(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Length of the white-space code point starting at `text[i]`, or 0. Every white-space code
// point takes at most three bytes; a sequence that is not well-formed is not white space.
std::size_t space_at(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) return is_space(lead) ? 1 : 0;
  const std::size_t len = (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : 0;
  if (len == 0 || i + len > text.size()) return 0;
  char32_t cp = lead & (len == 2 ? 0x1F : 0x0F);
  for (std::size_t k = 1; k < len; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (next & 0x3F);
  }
  // Overlong forms encode nothing a user typed.
  if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800)) return 0;
  return is_space(cp) ? len : 0;
}

// Length of the white-space code point ending at `end`, or 0.
std::size_t space_before(std::string_view text, std::size_t end) {
  for (std::size_t len = 1; len <= 3 && len <= end; ++len) {
    if (space_at(text, end - len) == len) return len;
  }
  return 0;
}

}  // namespace

std::string_view trim(std::string_view text) noexcept {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end) {
    const std::size_t n = space_at(text, begin);
    if (n == 0) break;
    begin += n;
  }
  while (end > begin) {
    const std::size_t n = space_before(text, end);
    if (n == 0) break;
    end -= n;
  }
  return text.substr(begin, end - begin);
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), ascii_lower_char);
  return out;
}

bool iequals(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return ascii_lower_char(x) == ascii_lower_char(y);
         });
}

bool istarts_with(std::string_view text, std::string_view prefix) noexcept {
  return iequals(text.substr(0, prefix.size()), prefix);
}

}  // namespace velmora::base
