// Session notices: the one-line messages that say which thread a session uses and whether a
// resumed thread matches what was asked for. Each returns nothing when there is nothing to say.
//
//   if (auto notice = velmora::build_session_binding_notice(binding))
//   renderer.render_session_notice(*notice);
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "wirelet/client.hpp"

namespace velmora {

/// What the server reports about the resumed context; a null value means not reported.
struct ResumeContext {
  boost::json::value thread_id;
  boost::json::value scenario;
  boost::json::value language;
  /// The nested "config" object when it is non-empty, else the reported object itself.
  boost::json::object config_payload;
};

/// Only for an explicitly requested thread: reuse, new session, or the server's override.
[[nodiscard]] std::optional<std::string> build_session_binding_notice(
    const wirelet::SessionBindingUpdate& binding);

/// Nothing when the message's "config" is not an object.
[[nodiscard]] std::optional<ResumeContext> extract_resume_context(
    const boost::json::object& config_message);

/// Comparable text: containers as JSON with sorted keys, other values trimmed; nothing for a
/// missing, null or blank value.
[[nodiscard]] std::optional<std::string> normalize_compare_value(const boost::json::value* value);

/// "resumed context differs: …" listing scenario, language and configuration differences.
[[nodiscard]] std::optional<std::string> build_resume_drift_notice(
    const boost::json::object& config_message, const std::optional<std::string>& requested_scenario,
    const std::optional<std::string>& requested_language,
    const std::optional<boost::json::object>& requested_config);

[[nodiscard]] std::string build_new_session_notice(const std::optional<std::string>& thread_id);
[[nodiscard]] std::string build_resume_request_notice(std::string_view thread_id);

}  // namespace velmora
