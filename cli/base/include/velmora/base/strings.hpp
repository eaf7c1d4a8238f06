// Text helpers every part of the client shares.
//
//   velmora::base::trim("\u00a0 value \n");   // "value"
//   velmora::base::ascii_lower("Content-Type");  // "content-type"
#pragma once

#include <string>
#include <string_view>

namespace velmora::base {

/// `text` without leading and trailing white space: the ASCII blanks and controls (tab, line
/// breaks, \x1c-\x1f) and the Unicode spaces users paste from chat clients (no-break space,
/// ideographic space, ...). Bytes that are not valid UTF-8 are never trimmed.
[[nodiscard]] std::string_view trim(std::string_view text) noexcept;

/// ASCII letters lower-cased; every other byte unchanged.
[[nodiscard]] std::string ascii_lower(std::string_view text);

/// Equal when ASCII letters are compared without case.
[[nodiscard]] bool iequals(std::string_view a, std::string_view b) noexcept;

/// `text` begins with `prefix`, ASCII letters compared without case.
[[nodiscard]] bool istarts_with(std::string_view text, std::string_view prefix) noexcept;

}  // namespace velmora::base
