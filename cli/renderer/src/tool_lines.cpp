#include "tool_lines.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include <boost/json/parse.hpp>

#include "velmora/events/message_fields.hpp"
#include "velmora/events/text_clean.hpp"

namespace velmora::renderer {

using events::clean_line;
using events::compact_json;
using events::scalar_text;

namespace {

constexpr std::size_t MAX_ARGUMENT_BYTES = 512;
constexpr int MAX_OUTPUT_DEPTH = 4;
/// Only this much of a result is read for its summary.
constexpr std::size_t MAX_OUTPUT_SCAN_BYTES = 1 << 20;

constexpr std::array<std::string_view, 13> PRIMARY_KEYS{
    "command", "cmd",    "file_path",   "path", "filename", "pattern", "query",
    "url",     "prompt", "description", "name", "skill",    "code"};

std::string first_line_of(std::string_view text) {
  const auto start = text.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return {};
  text.remove_prefix(start);
  const auto end = text.find('\n');
  return clean_line(text.substr(0, std::min(end, MAX_ARGUMENT_BYTES * 4)));
}

std::string object_arguments(const boost::json::object& input) {
  for (const auto key : PRIMARY_KEYS) {
    const auto* value = input.if_contains(key);
    if (!value || !(value->is_string() || value->is_number())) continue;
    std::string text = first_line_of(scalar_text(value));
    if (!text.empty()) return text;
  }
  std::string out;
  for (const auto& entry : input) {
    if (out.size() >= MAX_ARGUMENT_BYTES) break;
    if (!out.empty()) out += ", ";
    out.append(entry.key());
    out += ": ";
    if (entry.value().is_string()) {
      out += first_line_of(entry.value().get_string());
    } else {
      out += compact_json(entry.value(), MAX_ARGUMENT_BYTES);
    }
  }
  return clean_line(out);
}

void collect_output_text(const boost::json::value& value, std::string& out, int depth) {
  if (depth > MAX_OUTPUT_DEPTH || out.size() >= MAX_OUTPUT_SCAN_BYTES) return;
  if (value.is_string()) {
    if (!out.empty() && out.back() != '\n') out += '\n';
    const auto text = value.get_string();
    out.append(text.data(), std::min(text.size(), MAX_OUTPUT_SCAN_BYTES));
    return;
  }
  if (value.is_array()) {
    for (const auto& element : value.get_array()) collect_output_text(element, out, depth + 1);
    return;
  }
  if (value.is_object()) {
    const auto& object = value.get_object();
    for (const auto key : {"text", "content", "output", "result"}) {
      if (const auto* inner = object.if_contains(key); inner && !inner->is_null()) {
        collect_output_text(*inner, out, depth + 1);
        return;
      }
    }
    if (!out.empty() && out.back() != '\n') out += '\n';
    out += compact_json(value, MAX_ARGUMENT_BYTES);
    return;
  }
  if (!out.empty() && out.back() != '\n') out += '\n';
  out += scalar_text(&value);
}

}  // namespace

std::string summarize_arguments(const boost::json::value* input) {
  if (!input || input->is_null()) return {};
  if (input->is_object()) return object_arguments(input->get_object());
  if (input->is_string()) {
    const auto text = input->get_string();
    // Some agents send the input object as JSON text.
    if (text.size() < MAX_OUTPUT_SCAN_BYTES && text.starts_with("{")) {
      boost::system::error_code ec;
      const auto parsed = boost::json::parse(text, ec);
      if (!ec && parsed.is_object()) return object_arguments(parsed.get_object());
    }
    return first_line_of(text);
  }
  return clean_line(compact_json(*input, MAX_ARGUMENT_BYTES));
}

std::string content_text(const boost::json::value* value) {
  std::string text;
  if (value && !value->is_null()) collect_output_text(*value, text, 0);
  return text;
}

OutputSummary summarize_output(const boost::json::value* output) {
  OutputSummary summary;
  std::string text = content_text(output);
  const auto last = text.find_last_not_of(" \t\r\n");
  if (last == std::string::npos) return summary;
  text.resize(last + 1);
  const auto first = text.find_first_not_of(" \t\r\n");
  const auto line_end = text.find('\n', first);
  summary.first_line = first_line_of(std::string_view(text).substr(first));
  if (line_end != std::string::npos) {
    summary.more_lines = static_cast<std::size_t>(
        std::count(text.begin() + static_cast<std::ptrdiff_t>(line_end), text.end(), '\n'));
  }
  return summary;
}

bool failed_status(std::string_view status) {
  return status == "failed" || status == "error" || status == "failure";
}

bool done_status(std::string_view status) {
  return failed_status(status) || status == "completed" || status == "complete" ||
         status == "success" || status == "succeeded" || status == "done" || status == "answered";
}

std::string nested_name(const boost::json::object& msg) {
  return events::clean_line(
      events::first_field_text(msg, {"name", "tool_name", "server", "skill", "agent"}));
}

std::string nested_call_name(const events::AgentEvent& event) {
  std::string kind = event.phase == events::Phase::mcp     ? "MCP"
                     : event.phase == events::Phase::skill ? "Skill"
                                                           : "Agent";
  const std::string name = nested_name(event.message);
  return name.empty() ? kind : kind + " " + name;
}

}  // namespace velmora::renderer
