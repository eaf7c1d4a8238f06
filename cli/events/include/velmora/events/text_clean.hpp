// Server text made safe to show in a terminal.
//
// Message text comes from the network: it may hold invalid UTF-8 or control sequences that
// would move the cursor, retitle the window or clear the screen. Everything the renderer shows
// passes through `clean_text` first.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmora::events {

/// Valid UTF-8 with CR LF and lone CR turned into LF, tabs kept, and every other control
/// character (C0, DEL, C1) replaced by a visible stand-in, so no byte of the result can start
/// a terminal control sequence. Bidirectional controls (U+202A..U+202E, U+2066..U+2069) are
/// shown by name ("<U+202E>") so they cannot reorder what is read.
[[nodiscard]] std::string clean_text(std::string_view text);

/// `clean_text` on one line: line breaks and tabs become spaces.
[[nodiscard]] std::string clean_line(std::string_view text);

/// A URL fit to be a hyperlink target: http(s), mailto or ftp, printable ASCII only, bounded
/// length. Anything else is shown as text only.
[[nodiscard]] std::optional<std::string> safe_link_target(std::string_view url);

}  // namespace velmora::events
