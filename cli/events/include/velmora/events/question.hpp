// A question of the agent that waits for an answer: recognised by the session, which decides
// how it is answered; the renderer only draws it.
#pragma once

#include <optional>
#include <string>

#include <boost/json/array.hpp>

#include "velmora/events/agent_event.hpp"

namespace velmora::events {

struct AskPromptRequest {
  /// Id of the question message as sent, echoed back with the answer; absent when the message
  /// had none.
  std::optional<std::string> message_id;
  /// Question maps exactly as sent: {"question", "header", "options": [{"label",
  /// "description"}]}. The answer map is keyed by these texts and carries the chosen labels, so
  /// they stay as received; whatever shows them cleans them (clean_text, clean_line). A bare
  /// question text becomes {"question": text}; elements of any other kind are dropped.
  boost::json::array questions;
  /// The message type as received (one of the ask spellings).
  std::string message_type;
};

/// The question an event asks, when it is one still waiting for its answer (no status yet, or
/// "called"); nothing for any other event.
[[nodiscard]] std::optional<AskPromptRequest> open_question(const AgentEvent& event);

/// The questions of an ask message with their texts cleaned, for display only.
[[nodiscard]] boost::json::array question_maps(const boost::json::object& msg);

/// The question message's id, cleaned to one line; absent when it has none.
[[nodiscard]] std::optional<std::string> question_id(const boost::json::object& msg);

}  // namespace velmora::events
