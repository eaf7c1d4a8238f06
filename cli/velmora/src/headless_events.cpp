#include "velmora/events/message_fields.hpp"
#include "velmora/events/question.hpp"
#include "velmora/headless_report.hpp"

namespace velmora {

namespace {

namespace json = boost::json;
using events::EventKind;
using events::find_field;
using events::Phase;

/// A field's value as sent (null when missing): callers get the service's data untouched.
json::value field_value(const json::object& msg, std::string_view key) {
  const json::value* value = find_field(msg, key);
  return value ? *value : json::value(nullptr);
}

/// A text field as sent; other scalars by their text; null when missing or not a scalar.
json::value text_value(const json::object& msg, std::string_view key) {
  const json::value* value = find_field(msg, key);
  if (value == nullptr) return nullptr;
  if (value->is_string()) return *value;
  const std::string text = events::scalar_text(value);
  if (text.empty()) return nullptr;
  return json::string(text);
}

json::value first_text_value(const json::object& msg,
                             std::initializer_list<std::string_view> keys) {
  for (const auto key : keys) {
    json::value value = text_value(msg, key);
    if (value.is_string() && !value.get_string().empty()) return value;
  }
  return nullptr;
}

std::string_view step_phase(Phase phase) {
  switch (phase) {
    case Phase::discovered:
      return "discovered";
    case Phase::started:
      return "started";
    default:
      return "progress";
  }
}

std::string_view tool_phase(Phase phase) {
  switch (phase) {
    case Phase::execution:
      return "started";
    case Phase::completed:
      return "completed";
    default:
      return "progress";
  }
}

json::object pass_through(const events::AgentEvent& event) {
  return {{"type", "message"}, {"message", event.message}};
}

}  // namespace

std::optional<OutputFormat> parse_output_format(std::string_view text) {
  if (text == "text") return OutputFormat::text;
  if (text == "json") return OutputFormat::json;
  if (text == "stream-json") return OutputFormat::stream_json;
  return std::nullopt;
}

std::optional<json::object> stream_event(const events::AgentEvent& event) {
  const json::object& msg = event.message;
  switch (event.kind) {
    case EventKind::answer_delta: {
      json::value delta = text_value(msg, "delta");
      if (delta.is_null()) delta = text_value(msg, "content");
      if (delta.is_null()) delta = json::string();
      return json::object{{"type", "answer_delta"},
                          {"message_id", text_value(msg, "message_id")},
                          {"delta", std::move(delta)}};
    }
    case EventKind::answer: {
      json::value content = text_value(msg, find_field(msg, "content") ? "content" : "text");
      if (content.is_null()) content = json::string();
      return json::object{{"type", "answer"},
                          {"message_id", text_value(msg, "message_id")},
                          {"content", std::move(content)}};
    }
    case EventKind::thinking:
      return json::object{{"type", "thinking"},
                          {"thinking_id", text_value(msg, "thinking_id")},
                          {"content", text_value(msg, "content")}};
    case EventKind::step:
      return json::object{{"type", "step"},
                          {"phase", step_phase(event.phase)},
                          {"step_id", text_value(msg, "step_id")},
                          {"title", text_value(msg, "title")},
                          {"status", text_value(msg, "status")},
                          {"progress", field_value(msg, "progress")}};
    case EventKind::tool:
      return json::object{{"type", "tool"},
                          {"phase", tool_phase(event.phase)},
                          {"tool_use_id", text_value(msg, "tool_use_id")},
                          {"name", first_text_value(msg, {"tool_name", "name"})},
                          {"input", field_value(msg, "input")},
                          {"output", field_value(msg, "output")},
                          {"status", text_value(msg, "status")},
                          {"is_error", events::truthy(find_field(msg, "is_error"))}};
    case EventKind::plan: {
      const json::value* items = find_field(msg, "items");
      return json::object{
          {"type", "plan"},
          {"items", items != nullptr && items->is_array() ? *items : json::array()}};
    }
    case EventKind::question: {
      const auto open = events::open_question(event);
      if (!open) return pass_through(event);
      return json::object{
          {"type", "question"},
          {"message_id", open->message_id ? json::value(*open->message_id) : json::value()},
          {"questions", open->questions}};
    }
    case EventKind::error:
      return json::object{
          {"type", "error"},
          {"message", first_text_value(msg, {"message", "error", "detail", "content"})},
          {"code", text_value(msg, "code")}};
    case EventKind::raw:
      return json::object{{"type", "raw"}, {"raw", first_text_value(msg, {"raw", "content"})}};
    case EventKind::binding:
    case EventKind::heartbeat:
    case EventKind::turn_complete:
    case EventKind::terminated:
    case EventKind::replay_boundary:
    case EventKind::connection_lost:
      // Said by `init`, by the `result` line and by notices.
      return std::nullopt;
    case EventKind::commentary:
    case EventKind::nested:
    case EventKind::config:
    case EventKind::topic:
    case EventKind::other:
      return pass_through(event);
  }
  return pass_through(event);
}

}  // namespace velmora
