#include "velmora/notices.hpp"

#include <vector>

#include "velmora/json_values.hpp"
#include "velmora/strip.hpp"
#include "velmora/base/json_text.hpp"

namespace velmora {

namespace json = boost::json;

std::optional<std::string> build_session_binding_notice(
    const wirelet::SessionBindingUpdate& binding) {
  const std::string requested = binding.requested_thread_id.value_or("");
  if (!binding.explicit_thread_id || requested.empty()) return std::nullopt;
  if (binding.server_overrode_requested_thread) {
    return "requested thread " + requested + ", server resumed " + binding.active_thread_id;
  }
  if (binding.is_new == false) return "reusing thread " + binding.active_thread_id;
  if (binding.is_new == true) {
    return "requested thread " + binding.active_thread_id + " started a new session";
  }
  return std::nullopt;
}

namespace {

json::value field_or_null(const json::object& object, std::string_view key) {
  if (const auto* value = object.if_contains(key)) return *value;
  return nullptr;
}

/// The first of `candidates` that is truthy, else the last one as it is.
json::value first_truthy(std::initializer_list<const json::value*> candidates) {
  const json::value* last = nullptr;
  for (const auto* candidate : candidates) {
    if (!json_falsy(candidate)) return *candidate;
    last = candidate;
  }
  return last != nullptr ? *last : json::value(nullptr);
}

}  // namespace

std::optional<ResumeContext> extract_resume_context(const json::object& config_message) {
  const auto* payload_value = config_message.if_contains("config");
  if (payload_value == nullptr || !payload_value->is_object()) return std::nullopt;
  const json::object& payload = payload_value->get_object();
  const auto* nested = payload.if_contains("config");
  const json::object& effective =
      nested != nullptr && nested->is_object() && !nested->get_object().empty()
          ? nested->get_object()
          : payload;

  ResumeContext context;
  context.scenario =
      first_truthy({payload.if_contains("scenario"), effective.if_contains("scenario")});
  context.language =
      first_truthy({payload.if_contains("user_language"), payload.if_contains("language"),
                    effective.if_contains("user_language"), effective.if_contains("language")});
  context.thread_id = json_falsy(payload.if_contains("thread_id"))
                          ? field_or_null(config_message, "thread_id")
                          : payload.at("thread_id");
  context.config_payload = effective;
  return context;
}

std::optional<std::string> normalize_compare_value(const json::value* value) {
  if (value == nullptr || value->is_null()) return std::nullopt;
  if (value->is_object() || value->is_array()) {
    return velmora::base::json_dumps(*value, {.sort_keys = true});
  }
  std::string text = strip(json_to_text(*value));
  if (text.empty()) return std::nullopt;
  return text;
}

std::optional<std::string> build_resume_drift_notice(
    const json::object& config_message, const std::optional<std::string>& requested_scenario,
    const std::optional<std::string>& requested_language,
    const std::optional<json::object>& requested_config) {
  const auto context = extract_resume_context(config_message);
  if (!context) return std::nullopt;

  // A reported value that is not text never equals the requested text.
  const auto differs = [](const json::value& actual, const std::string& requested) {
    return !actual.is_string() || actual.get_string() != requested;
  };
  std::vector<std::string> differences;
  if (requested_scenario && !requested_scenario->empty() && !json_falsy(&context->scenario) &&
      differs(context->scenario, *requested_scenario)) {
    differences.push_back("scenario=" + json_to_text(context->scenario) + " (requested " +
                          *requested_scenario + ")");
  }
  if (requested_language && !requested_language->empty() && !json_falsy(&context->language) &&
      differs(context->language, *requested_language)) {
    differences.push_back("language=" + json_to_text(context->language) + " (requested " +
                          *requested_language + ")");
  }
  if (requested_config) {
    const json::value actual(context->config_payload);
    const json::value requested(*requested_config);
    if (normalize_compare_value(&actual) != normalize_compare_value(&requested)) {
      differences.emplace_back("config differs from the request");
    }
  }
  if (differences.empty()) return std::nullopt;
  std::string notice = "resumed context differs: ";
  for (std::size_t i = 0; i < differences.size(); ++i) {
    if (i > 0) notice += ", ";
    notice += differences[i];
  }
  return notice;
}

std::string build_new_session_notice(const std::optional<std::string>& thread_id) {
  if (!thread_id || thread_id->empty()) return "started fresh session";
  return "started fresh session " + *thread_id;
}

std::string build_resume_request_notice(std::string_view thread_id) {
  return "resuming thread " + std::string(thread_id);
}

}  // namespace velmora
