#include "tool_writer.hpp"

#include <utility>

#include <fmt/format.h>

#include "answer_writer.hpp"
#include "live_status.hpp"
#include "style_sheet.hpp"
#include "velmora/events/message_fields.hpp"
#include "velmora/events/text_clean.hpp"

namespace velmora::renderer {
namespace {

using boost::json::value;
using events::AgentEvent;
using events::clean_line;
using events::find_field;
using events::first_field_text;

}  // namespace

ToolWriter::ToolWriter(Scrollback& out, LiveRegion& live, std::function<int()> width)
    : out_(out), live_(live), width_(std::move(width)) {}

void ToolWriter::clear() { calls_.clear(); }

void ToolWriter::forget_last_call() { last_call_.reset(); }

ToolWriter::Call& ToolWriter::call_for(const std::string& key) {
  if (calls_.size() >= MAX_TRACKED && !calls_.contains(key)) calls_.clear();
  return calls_[key];
}

void ToolWriter::show_call(const std::string& key, Call& call) {
  Line line = text_line(styles().bold, "● ");
  append_run(line, styles().bold, call.name);
  if (!call.arguments.empty()) append_run(line, term::Style{}, "(" + call.arguments + ")");
  out_.print_line(truncate_line(line, width_()));
  call.call_printed = true;
  last_call_ = key;
  last_call_print_ = out_.prints();
}

void ToolWriter::show_result(const std::string& key, Call& call, const OutputSummary& summary,
                             bool failed) {
  if (call.result_printed) return;
  if (last_call_ != key || last_call_print_ != out_.prints()) show_call(key, call);
  Line line = text_line(term::Style{}, "  ");
  append_run(line, failed ? styles().red : styles().green, "⎿ ");
  std::string text = summary.first_line;
  if (text.empty()) text = failed ? "failed" : "done";
  Line rest = text_line(failed ? styles().red : styles().dim, text);
  if (summary.more_lines > 0) {
    append_run(
        rest, styles().dim,
        fmt::format(" … (+{} line{})", summary.more_lines, summary.more_lines == 1 ? "" : "s"));
  }
  append_line(line, rest);
  out_.print_line(truncate_line(line, width_()));
  call.result_printed = true;
}

void ToolWriter::tool(const AgentEvent& event, bool historical) {
  const auto& msg = event.message;
  const std::string name = clean_line(first_field_text(msg, {"tool_name", "name"}));
  std::string key = clean_line(first_field_text(msg, {"tool_use_id", "id"}));
  if (key.empty()) key = "tool:" + name;
  Call& call = call_for(key);
  if (!name.empty()) call.name = name;
  if (call.name.empty()) call.name = "tool";
  const value* input = find_field(msg, "input");
  if (!input) input = find_field(msg, "arguments");
  if (std::string arguments = summarize_arguments(input); !arguments.empty()) {
    call.arguments = std::move(arguments);
  }
  const std::string& status = event.status;
  const bool failed = events::truthy(find_field(msg, "is_error")) || failed_status(status);
  const value* output = find_field(msg, "output");
  if (!output) output = find_field(msg, "result");

  if (event.phase == events::Phase::progress && !done_status(status)) {
    if (!call.call_printed) show_call(key, call);
    if (!historical) {
      std::string label = call.name;
      const std::string progress =
          clean_line(first_field_text(msg, {"progress", "message", "content", "output"}));
      label += progress.empty() ? "…" : ": " + truncate_text(progress, 60);
      live_.note_activity(label);
    }
    return;
  }
  const bool done =
      event.phase == events::Phase::completed || done_status(status) || failed ||
      (output != nullptr && event.phase == events::Phase::execution && status.empty());
  if (!done) {
    if (!call.call_printed) show_call(key, call);
    if (!historical) live_.note_activity("Running " + call.name + "…");
    return;
  }
  show_result(key, call, summarize_output(output), failed);
  if (!historical) live_.note_activity(THINKING_LABEL);
}

void ToolWriter::nested(const AgentEvent& event, bool historical) {
  const auto& msg = event.message;
  const std::string& status = event.status;
  const value* content = find_field(msg, "content");
  std::string id =
      clean_line(first_field_text(msg, {"message_id", "id", "call_id", "tool_use_id"}));
  const std::string key = event.type + ":" + (id.empty() ? nested_name(msg) : id);
  Call& call = call_for(key);
  call.name = nested_call_name(event);
  if (status == "called" || status.empty()) {
    call.arguments = summarize_arguments(content);
    call.result_printed = false;
    show_call(key, call);
    if (!historical) live_.note_activity("Running " + call.name + "…");
    return;
  }
  if (status == "answered" || done_status(status)) {
    show_result(key, call, summarize_output(content), failed_status(status));
    if (!historical) live_.note_activity(THINKING_LABEL);
    return;
  }
  if (!historical) live_.note_activity(call.name + ": " + truncate_text(clean_line(status), 30));
}

}  // namespace velmora::renderer
