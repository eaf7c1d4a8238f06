// Short summaries of tool calls and their results for one-line display, and how a call's
// status and name read.
#pragma once

#include <string>
#include <string_view>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "velmora/events/agent_event.hpp"

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

/// A status that ends a call unsuccessfully: "failed", "error", "failure".
[[nodiscard]] bool failed_status(std::string_view status);

/// A status that ends a call: a failure, or "completed", "complete", "success", "succeeded",
/// "done", "answered".
[[nodiscard]] bool done_status(std::string_view status);

/// The called thing's name in a nested-agent message ("" when it names none).
[[nodiscard]] std::string nested_name(const boost::json::object& msg);

/// How a nested-agent call is named: "MCP <name>", "Skill <name>" or "Agent <name>".
[[nodiscard]] std::string nested_call_name(const events::AgentEvent& event);

}  // namespace velmora::renderer
