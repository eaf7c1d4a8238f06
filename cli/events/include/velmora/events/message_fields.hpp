// Reading fields of agent messages of any shape: wrong types, missing fields and deep nesting
// give empty text, never an error.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

namespace velmora::events {

/// The field at the top level, else under an object "payload"; null when neither has it.
[[nodiscard]] const boost::json::value* find_field(const boost::json::object& msg,
                                                   std::string_view key);

/// Text of a scalar: strings as they are, numbers and booleans printed; anything else "".
[[nodiscard]] std::string scalar_text(const boost::json::value* value);

/// A field's scalar text (top level or payload), or "".
[[nodiscard]] std::string field_text(const boost::json::object& msg, std::string_view key);

/// The first non-empty scalar text among `keys`.
[[nodiscard]] std::string first_field_text(const boost::json::object& msg,
                                           std::initializer_list<std::string_view> keys);

/// `text` without surrounding blanks (space, tab, line feed).
[[nodiscard]] std::string trimmed(std::string_view text);

/// `text` without surrounding blanks (space, tab, line feed), ASCII letters lower-cased.
[[nodiscard]] std::string lower_trimmed(std::string_view text);

/// A field's text when it is a non-empty string or number, else nothing.
[[nodiscard]] std::optional<std::string> optional_text(const boost::json::object& msg,
                                                       std::string_view key);

/// One-line JSON of a value for display, cut at `max_bytes` and at a nesting depth, "…"
/// marking the cut. Not for sending: strings are not escaped beyond quotes.
[[nodiscard]] std::string compact_json(const boost::json::value& value, std::size_t max_bytes);

/// A value is present and not false, 0, "" or null.
[[nodiscard]] bool truthy(const boost::json::value* value);

}  // namespace velmora::events
