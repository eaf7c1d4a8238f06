// The `--config` text: strict JSON first, else a loose object notation that survives shells
// which strip inner double quotes (PowerShell):
//
//   parse_config_payload(R"({"devevaro_account":"123"})")  // {"devevaro_account": "123"}
//   parse_config_payload("{devevaro_account:123}")         // the same; values stay text
//   parse_config_payload("a=1, b = 'x, y'")                // {"a": "1", "b": "x, y"}
//
// Loose values "true"/"false" (any case) become booleans, "null"/"none" a null entry; only
// quotes protect commas, and there is no escape character.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/object.hpp>

namespace velmora {

/// Nothing for absent or blank text. Throws CliInvocationError (category "config") for text
/// that is neither a JSON object nor loose notation; the JSON decoder's message is the detail.
[[nodiscard]] std::optional<boost::json::object> parse_config_payload(
    const std::optional<std::string>& raw_config);

/// The loose notation's object, or nothing when the text is not loose notation.
[[nodiscard]] std::optional<boost::json::object> parse_loose_config_payload(
    std::string_view raw_text);

/// Pair texts split at commas outside quotes, trimmed, empty ones dropped.
[[nodiscard]] std::vector<std::string> split_top_level_pairs(std::string_view text);

/// `value` without one layer of matching ' or " quotes.
[[nodiscard]] std::string strip_wrapping_quotes(std::string_view value);

}  // namespace velmora
