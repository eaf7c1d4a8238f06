// The one JSON writer of the project.
//
// Output matches what the agent service and its other clients expect byte for byte:
// ", " and ": " separators, keys in insertion order, non-ASCII written as UTF-8, control
// characters escaped, integers exact and floating-point numbers in their shortest round-trip
// form with ".0" on integral values.
//
//   boost::json::object o{{"type", "query"}, {"n", 1.0}};
//   velmora::base::json_dumps(o);   // {"type": "query", "n": 1.0}
#pragma once

#include <string>
#include <string_view>

#include <boost/json/value.hpp>

namespace velmora::base {

struct JsonDumpOptions {
  /// Sort object keys by their UTF-8 bytes (comparison text for configuration objects).
  bool sort_keys = false;
};

/// Serialises a value. Invalid UTF-8 inside strings is replaced by U+FFFD so the result is
/// always valid UTF-8 (a websocket text frame must be).
[[nodiscard]] std::string json_dumps(const boost::json::value& value, JsonDumpOptions options = {});

/// A double in its shortest round-trip text: 1.0, 0.1, 1e+16, 1e-05, Infinity, NaN.
[[nodiscard]] std::string format_double(double value);

/// Appends `text` as a quoted JSON string.
void append_json_string(std::string& out, std::string_view text);

/// Appends `text` as the inside of a JSON string (escaped, no quotes): a long string can be
/// written in pieces cut between UTF-8 characters.
void append_json_escaped(std::string& out, std::string_view text);

/// Replaces every invalid UTF-8 sequence by U+FFFD.
[[nodiscard]] std::string sanitize_utf8(std::string_view text);

/// True when `text` is valid UTF-8.
[[nodiscard]] bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace velmora::base
