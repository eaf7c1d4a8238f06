// Short summaries of tool calls and their results for one-line display.
#pragma once

#include <string>

#include <boost/json/value.hpp>

namespace velmora::renderer {

/// The argument a person recognises a call by: the command, path, pattern, query or address
/// when the input has one, else "key: value" pairs. One clean line (may be long; callers cut).
[[nodiscard]] std::string summarize_arguments(const boost::json::value* input);

struct OutputSummary {
  /// First non-empty line of the result, clean; empty when there was no output.
  std::string first_line;
  /// Further lines not shown.
  std::size_t more_lines = 0;
};

/// The text of a content value: a string as it is; {"text"} / {"content": [...]} shapes and
/// arrays of them as their texts joined by lines; other values as one-line JSON. Bounded.
[[nodiscard]] std::string content_text(const boost::json::value* value);

/// Result text of a tool: strings as they are; {"text"} / {"content": [...]} shapes as their
/// text; anything else as one-line JSON.
[[nodiscard]] OutputSummary summarize_output(const boost::json::value* output);

}  // namespace velmora::renderer
