#include "velmora/turn_outcome.hpp"

#include <initializer_list>
#include <string_view>

#include "velmora/events/message_fields.hpp"

namespace velmora {
namespace {

using events::EventKind;

/// One of the fields holds text worth showing: a string that is not only blanks, or structured
/// content (blocks), which the renderer shows by its text.
bool carries_text(const boost::json::object& msg, std::initializer_list<std::string_view> keys) {
  for (const auto key : keys) {
    const boost::json::value* field = events::find_field(msg, key);
    if (field == nullptr || field->is_null()) continue;
    if (field->is_string()) {
      if (!events::trimmed(field->get_string()).empty()) return true;
      continue;
    }
    if (field->is_array() ? !field->get_array().empty()
                          : !field->is_object() || !field->get_object().empty()) {
      return true;
    }
  }
  return false;
}

}  // namespace

void TurnOutcome::observe(const events::AgentEvent& event) {
  const auto& msg = event.message;
  switch (event.kind) {
    case EventKind::answer:
      if (carries_text(msg, {"content", "text"})) answer_shown = true;
      return;
    case EventKind::answer_delta:
      if (carries_text(msg, {"delta", "content"})) answer_shown = true;
      return;
    case EventKind::other:
      // A message of an unknown kind is shown by its text, as an answer.
      if (carries_text(msg, {"content", "text", "delta", "message", "answer", "output"})) {
        answer_shown = true;
      }
      return;
    case EventKind::error:
      if (!agent_error) {
        std::string text = events::trimmed(
            events::first_field_text(msg, {"message", "error", "detail", "content"}));
        agent_error = text.empty() ? std::string("unknown error") : std::move(text);
      }
      return;
    default:
      return;
  }
}

}  // namespace velmora
