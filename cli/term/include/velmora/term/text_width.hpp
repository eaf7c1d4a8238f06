// Display width of UTF-8 text in terminal columns, grapheme clusters, and text made safe to show.
//
// A grapheme cluster (a letter with its accents, an emoji sequence, a flag) is the unit the
// cursor moves by and occupies 0, 1 or 2 columns. Invalid UTF-8 counts as one U+FFFD each byte.
//
//   display_width("日本") == 4;  pad_right("ab", 4) == "ab  ";
//   printable_text("a\x1b[31m") == "a^[[31m";
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::term {

/// Columns one grapheme cluster occupies: 0 (a lone combining mark), 1 or 2.
[[nodiscard]] int cluster_width(std::string_view cluster);

/// Columns of UTF-8 text, summed over its grapheme clusters; control characters count 0.
[[nodiscard]] int display_width(std::string_view text);

/// Byte offset of the cluster boundary after `pos` (text.size() at the end).
[[nodiscard]] std::size_t next_grapheme(std::string_view text, std::size_t pos);
/// Byte offset of the cluster boundary before `pos` (0 at the start).
[[nodiscard]] std::size_t prev_grapheme(std::string_view text, std::size_t pos);
/// The clusters of the text, in order.
[[nodiscard]] std::vector<std::string_view> grapheme_clusters(std::string_view text);

/// Text safe to write to a terminal: invalid UTF-8 becomes U+FFFD and control characters
/// (C0, DEL, C1) their caret form ("^[" for escape, "^?" for DEL, "^\x80"-style "<80>" for
/// C1). Line feeds are kept when asked; a tab becomes four blanks.
[[nodiscard]] std::string printable_text(std::string_view text, bool keep_newlines = false);

/// End of the escape sequence that starts at `bytes[at]` (an ESC): a CSI up to its final byte,
/// an OSC up to BEL or ST, else ESC and one byte. An unfinished sequence runs to the end.
[[nodiscard]] std::size_t skip_escape_sequence(std::string_view bytes, std::size_t at);

/// Visible columns of bytes meant for a terminal: escape sequences (CSI, OSC, ESC x) count 0.
[[nodiscard]] int visible_width(std::string_view bytes);

/// Bytes meant for a terminal cut to `width` visible columns; escape sequences are kept and,
/// when something was cut, styles and hyperlinks are closed at the end.
[[nodiscard]] std::string fit_visible(std::string_view bytes, int width);

/// Pads with blanks on the right to `width` columns; longer text is kept whole.
[[nodiscard]] std::string pad_right(std::string_view text, int width);

/// The longest prefix of `text` that fits in `width` columns, cut between clusters.
[[nodiscard]] std::string_view fit_width(std::string_view text, int width);

/// Unicode lower case (full mapping), for matching typed text without regard to case; invalid
/// UTF-8 bytes are kept as they are.
[[nodiscard]] std::string unicode_lower(std::string_view text);

}  // namespace velmora::term
