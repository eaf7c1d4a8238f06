// Trimming as the shell and the notices need it: surrounding blanks, tabs and line breaks.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmora {

inline constexpr std::string_view WHITESPACE = " \t\n\r\f\v";

[[nodiscard]] inline std::string_view strip_view(std::string_view text) {
  const auto first = text.find_first_not_of(WHITESPACE);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(WHITESPACE);
  return text.substr(first, last - first + 1);
}

[[nodiscard]] inline std::string strip(std::string_view text) {
  return std::string(strip_view(text));
}

/// The text, or nothing when it is empty.
[[nodiscard]] inline std::optional<std::string> non_empty(std::string text) {
  if (text.empty()) return std::nullopt;
  return text;
}

}  // namespace velmora
