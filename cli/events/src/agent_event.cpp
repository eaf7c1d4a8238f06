#include "velmora/events/agent_event.hpp"

#include <array>
#include <utility>

#include "velmora/base/json_text.hpp"
#include "velmora/base/strings.hpp"
#include "velmora/events/message_fields.hpp"
#include "wirelet/wire_format.hpp"

namespace velmora::events {
namespace {

struct Spelling {
  std::string_view type;
  EventKind kind;
  Phase phase;
};

// Every server spelling the client accepts, once.
constexpr std::array<Spelling, 31> SPELLINGS = {{
    {"text_delta", EventKind::answer_delta, Phase::none},
    {"answer_delta", EventKind::answer_delta, Phase::none},
    {"text", EventKind::answer, Phase::none},
    {"answer", EventKind::answer, Phase::none},
    {"agent_thinking", EventKind::thinking, Phase::none},
    {"thinking_commentary", EventKind::thinking, Phase::none},
    {"commentary", EventKind::commentary, Phase::none},
    {"child_step_commentary", EventKind::commentary, Phase::none},
    {"inter_child_text", EventKind::commentary, Phase::none},
    {"step_discovered", EventKind::step, Phase::discovered},
    {"step_started", EventKind::step, Phase::started},
    {"step_progress", EventKind::step, Phase::progress},
    {"tool_execution", EventKind::tool, Phase::execution},
    {"tool_progress", EventKind::tool, Phase::progress},
    {"tool_completed", EventKind::tool, Phase::completed},
    {"mcp_message", EventKind::nested, Phase::mcp},
    {"skill_message", EventKind::nested, Phase::skill},
    {"subagent_message", EventKind::nested, Phase::subagent},
    {"collection_plan", EventKind::plan, Phase::none},
    {"collect_plan", EventKind::plan, Phase::none},
    {"collect-plan", EventKind::plan, Phase::none},
    {"ask_message", EventKind::question, Phase::none},
    {"ask_user_input", EventKind::question, Phase::none},
    {"askuserinput", EventKind::question, Phase::none},
    {"error", EventKind::error, Phase::none},
    {"complete", EventKind::turn_complete, Phase::none},
    {"terminated", EventKind::terminated, Phase::none},
    {"resume_complete", EventKind::replay_boundary, Phase::none},
    {"metadata", EventKind::binding, Phase::none},
    {"config", EventKind::config, Phase::none},
    {"topic_message", EventKind::topic, Phase::none},
}};

// The thread id binding metadata names: texts and numbers as written, true as "True"; a null,
// false, zero or a structured value names none.
std::string thread_id_text(const boost::json::value* value) {
  if (value == nullptr) return {};
  switch (value->kind()) {
    case boost::json::kind::string:
      return std::string(value->get_string());
    case boost::json::kind::int64:
      return value->get_int64() == 0 ? std::string() : std::to_string(value->get_int64());
    case boost::json::kind::uint64:
      return value->get_uint64() == 0 ? std::string() : std::to_string(value->get_uint64());
    case boost::json::kind::double_:
      return value->get_double() == 0.0 ? std::string()
                                        : velmora::base::format_double(value->get_double());
    case boost::json::kind::bool_:
      return value->get_bool() ? "True" : "";
    default:
      return {};
  }
}

// A control character (C0, DEL, C1) would forge lines wherever the id is printed or parsed.
bool has_control_character(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return true;
    if (c == 0xc2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9f) return true;
    }
  }
  return false;
}

bool usable_thread_id(std::string_view id) {
  return id.size() <= MAX_THREAD_ID_BYTES && !has_control_character(id);
}

std::optional<Binding> binding_of(const wirelet::Message& msg, bool& refused) {
  std::string thread_id(velmora::base::trim(thread_id_text(msg.if_contains("thread_id"))));
  if (thread_id.empty()) return std::nullopt;
  if (!usable_thread_id(thread_id)) {
    refused = true;
    return std::nullopt;
  }
  Binding binding{std::move(thread_id), std::nullopt};
  if (const auto* flag = msg.if_contains("is_new"); flag && flag->is_bool()) {
    binding.is_new = flag->get_bool();
  }
  return binding;
}

AgentEvent client_event(wirelet::Message message) {
  AgentEvent event;
  const auto* type = message.if_contains("type");
  if (type != nullptr && type->is_string()) {
    if (type->get_string() == wirelet::RAW_MESSAGE_TYPE) event.kind = EventKind::raw;
    if (type->get_string() == wirelet::CONNECTION_ERROR_TYPE) {
      event.kind = EventKind::connection_lost;
    }
    event.type = std::string(type->get_string());
  }
  event.message = std::move(message);
  return event;
}

// The exact top-level "status" text, as the visibility rules compare it.
std::string raw_status(const wirelet::Message& msg) {
  const auto* status = msg.if_contains("status");
  return truthy(status) ? scalar_text(status) : std::string();
}

}  // namespace

AgentEvent server_event(wirelet::Message message) {
  AgentEvent event;
  if (const auto* type = message.if_contains("type"); type != nullptr && type->is_string()) {
    event.type = std::string(type->get_string());
    for (const auto& spelling : SPELLINGS) {
      if (spelling.type != event.type) continue;
      event.kind = spelling.kind;
      event.phase = spelling.phase;
      break;
    }
    if (event.type == "heartbeat") event.kind = EventKind::heartbeat;
  }
  event.status = lower_trimmed(field_text(message, "status"));
  if (event.kind == EventKind::binding) event.binding = binding_of(message, event.binding_refused);
  event.message = std::move(message);
  return event;
}

AgentEvent to_event(wirelet::Incoming incoming) {
  if (incoming.origin == wirelet::Origin::client) return client_event(std::move(incoming.message));
  return server_event(std::move(incoming.message));
}

bool ends_turn(const AgentEvent& event) noexcept {
  return event.kind == EventKind::turn_complete || event.kind == EventKind::terminated ||
         event.kind == EventKind::connection_lost;
}

bool counts_as_completion_activity(const AgentEvent& event) noexcept {
  switch (event.kind) {
    case EventKind::turn_complete:
    case EventKind::terminated:
    case EventKind::connection_lost:
    case EventKind::binding:
    case EventKind::config:
    case EventKind::topic:
    case EventKind::thinking:
    case EventKind::commentary:
    case EventKind::step:
    case EventKind::heartbeat:
      return false;
    default:
      return true;
  }
}

bool is_user_visible_output(const AgentEvent& event, bool plain_output) {
  if (!counts_as_completion_activity(event)) return false;
  if (!plain_output) return true;
  switch (event.kind) {
    case EventKind::tool:
      return false;
    case EventKind::nested: {
      const std::string status = raw_status(event.message);
      return status == "failed" || status == "error";
    }
    case EventKind::question: {
      const std::string status = raw_status(event.message);
      return status == "called" || status == "answered" || status == "failed" || status == "error";
    }
    default:
      return true;
  }
}

}  // namespace velmora::events
