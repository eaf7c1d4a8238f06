// JSON values read the way the session's notices and pickers show them: falsy values, and the
// text form of any value.
//
//   const std::string title = velmora::truthy_text(record.if_contains("title"));
#pragma once

#include <string>

#include <boost/json/value.hpp>

namespace velmora {

/// True for a missing value and for JSON values that read as false: null, false, 0, "", [], {}.
[[nodiscard]] bool json_falsy(const boost::json::value* value);

/// The text form of a JSON value: strings as they are, integers in decimal, reals in their
/// shortest form ("1.5", "2.0"), booleans "True"/"False", null "None", containers as JSON.
[[nodiscard]] std::string json_to_text(const boost::json::value& value);

/// Empty text for a missing or false value, otherwise its text form.
[[nodiscard]] std::string truthy_text(const boost::json::value* value);

}  // namespace velmora
