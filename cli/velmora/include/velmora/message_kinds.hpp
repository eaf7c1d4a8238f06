// Message classification: the type spellings the service uses, and whether a message shows that
// a turn is still working (completion activity) or that the user saw something (visible output).
//
//   if (velmora::message_counts_as_completion_activity(msg, plain)) last_activity = now;
#pragma once

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

namespace velmora {

inline constexpr std::array<std::string_view, 3> TERMINAL_MESSAGE_TYPES = {"complete", "terminated",
                                                                           "_connection_error"};
inline constexpr std::array<std::string_view, 3> METADATA_ONLY_MESSAGE_TYPES = {
    "metadata", "config", "topic_message"};
inline constexpr std::array<std::string_view, 3> ASK_MESSAGE_TYPES = {
    "ask_message", "ask_user_input", "askuserinput"};
inline constexpr std::array<std::string_view, 3> COLLECTION_PLAN_MESSAGE_TYPES = {
    "collection_plan", "collect_plan", "collect-plan"};
inline constexpr std::array<std::string_view, 9> PROGRESS_MESSAGE_TYPES = {
    "thinking_commentary", "commentary",     "child_step_commentary",
    "inter_child_text",    "agent_thinking", "step_discovered",
    "step_started",        "step_progress",  "heartbeat"};

template <std::size_t N>
[[nodiscard]] constexpr bool type_in(const std::array<std::string_view, N>& set,
                                     std::string_view type) {
  return std::find(set.begin(), set.end(), type) != set.end();
}

/// True for a missing value and for JSON values that read as false: null, false, 0, "", [], {}.
[[nodiscard]] bool json_falsy(const boost::json::value* value);

/// The text form of a JSON value: strings as they are, integers in decimal, reals in their
/// shortest form ("1.5", "2.0"), booleans "True"/"False", null "None", containers as JSON.
[[nodiscard]] std::string json_to_text(const boost::json::value& value);

/// Empty text for a missing or false value, otherwise its text form.
[[nodiscard]] std::string truthy_text(const boost::json::value* value);

/// The canonical type: ask and collection-plan spellings folded, anything else as it is.
[[nodiscard]] std::string normalize_message_type(const boost::json::value* raw_type);
[[nodiscard]] std::string message_type_of(const boost::json::object& msg);

/// Evidence that the turn is still producing work (idle finish counts from the last one).
/// `plain_output` does not change the result.
[[nodiscard]] bool message_counts_as_completion_activity(const boost::json::object& msg,
                                                         bool plain_output);

/// Whether the message shows the user something; plain output hides tool traffic and
/// nested-agent or question messages that did not fail or get asked.
[[nodiscard]] bool message_is_user_visible_output(const boost::json::object& msg,
                                                  bool plain_output);

}  // namespace velmora
