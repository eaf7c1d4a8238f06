// Lone UTF-16 surrogate escapes in a frame's JSON text. The JSON parser refuses them, and with
// them the whole message; a model that streams by tokens cuts a pair between two deltas, and a
// careless service writes half pairs anywhere. The frame is rewritten so that it parses: every
// lone surrogate becomes "\ufffd", except the halves at the edges of an answer delta's text,
// which are reported so the decoder can join a pair cut between two deltas of one message.
//
//   {"delta": "ab\ud83d"}  ->  {"delta": "ab"}              ends_high = 0xD83D
//   {"delta": "\ude00c"}   ->  {"delta": "\ufffdc"}         starts_low = 0xDE00
//   {"n": "\ud800x"}       ->  {"n": "\ufffdx"}
#pragma once

#include <string>
#include <string_view>

namespace wirelet::detail {

/// Halves of a pair at the edges of the delta text ("delta" at the top level or under
/// "payload"); 0 when there is none.
struct DeltaEdges {
  /// A high surrogate that ended the text, taken out of it.
  char16_t ends_high = 0;
  /// A low surrogate that began the text, left in it as U+FFFD.
  char16_t starts_low = 0;
};

/// Whether `frame` may hold a surrogate escape: false means it holds none and needs no rewrite.
[[nodiscard]] bool may_hold_surrogate_escape(std::string_view frame) noexcept;

/// `frame` with its lone surrogate escapes rewritten as above; `edges` tells what was kept
/// back. Escapes it cannot read are copied as they are, for the parser to refuse.
[[nodiscard]] std::string replace_lone_surrogates(std::string_view frame, DeltaEdges& edges);

}  // namespace wirelet::detail
