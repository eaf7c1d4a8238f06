#include "velmora/message_kinds.hpp"

#include "velmora/base/json_text.hpp"

namespace velmora {

namespace json = boost::json;

bool json_falsy(const json::value* value) {
  if (value == nullptr) return true;
  switch (value->kind()) {
    case json::kind::null:
      return true;
    case json::kind::bool_:
      return !value->get_bool();
    case json::kind::int64:
      return value->get_int64() == 0;
    case json::kind::uint64:
      return value->get_uint64() == 0;
    case json::kind::double_:
      return value->get_double() == 0.0;
    case json::kind::string:
      return value->get_string().empty();
    case json::kind::array:
      return value->get_array().empty();
    case json::kind::object:
      return value->get_object().empty();
  }
  return true;
}

std::string json_to_text(const json::value& value) {
  switch (value.kind()) {
    case json::kind::null:
      return "None";
    case json::kind::bool_:
      return value.get_bool() ? "True" : "False";
    case json::kind::int64:
      return std::to_string(value.get_int64());
    case json::kind::uint64:
      return std::to_string(value.get_uint64());
    case json::kind::double_:
      return velmora::base::format_double(value.get_double());
    case json::kind::string:
      return std::string(value.get_string());
    case json::kind::array:
    case json::kind::object:
      return velmora::base::json_dumps(value);
  }
  return {};
}

std::string truthy_text(const json::value* value) {
  if (json_falsy(value)) return {};
  return json_to_text(*value);
}

std::string normalize_message_type(const json::value* raw_type) {
  std::string type = truthy_text(raw_type);
  if (type_in(ASK_MESSAGE_TYPES, type)) return "ask_message";
  if (type_in(COLLECTION_PLAN_MESSAGE_TYPES, type)) return "collection_plan";
  return type;
}

std::string message_type_of(const json::object& msg) {
  return normalize_message_type(msg.if_contains("type"));
}

bool message_counts_as_completion_activity(const json::object& msg, bool /*plain_output*/) {
  const std::string type = message_type_of(msg);
  return !type_in(TERMINAL_MESSAGE_TYPES, type) && !type_in(METADATA_ONLY_MESSAGE_TYPES, type) &&
         !type_in(PROGRESS_MESSAGE_TYPES, type);
}

bool message_is_user_visible_output(const json::object& msg, bool plain_output) {
  const std::string type = message_type_of(msg);
  if (type_in(TERMINAL_MESSAGE_TYPES, type) || type_in(METADATA_ONLY_MESSAGE_TYPES, type) ||
      type_in(PROGRESS_MESSAGE_TYPES, type)) {
    return false;
  }
  if (!plain_output) return true;
  if (type == "tool_execution" || type == "tool_progress" || type == "tool_completed") {
    return false;
  }
  const std::string status = truthy_text(msg.if_contains("status"));
  if (type == "mcp_message" || type == "skill_message" || type == "subagent_message") {
    return status == "failed" || status == "error";
  }
  if (type == "ask_message") {
    return status == "called" || status == "answered" || status == "failed" || status == "error";
  }
  return true;
}

}  // namespace velmora
