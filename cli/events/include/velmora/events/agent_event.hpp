// One normalised agent event: what a decoded incoming message means, decided once.
//
// The service spells some kinds several ways ("askuserinput", "collect-plan", "text_delta" and
// "answer_delta"…); `to_event` folds every spelling the client accepts into one `EventKind`, so
// the receive loop, the renderer and any other consumer switch on the kind and never compare
// `type` strings. The two kinds the client makes itself (an undecodable frame, the connection's
// end) are only ever taken from the client: a server frame that uses their spelling is `other`.
//
//   for (;;) {
//     velmora::events::AgentEvent event = velmora::events::to_event(co_await queue.pop());
//     if (event.kind == velmora::events::EventKind::answer_delta) ...
//   }
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>

#include "wirelet/client.hpp"

namespace velmora::events {

enum class EventKind {
  answer_delta,     ///< "text_delta", "answer_delta": a piece of a streamed answer
  answer,           ///< "text", "answer": a whole answer block
  thinking,         ///< "agent_thinking", "thinking_commentary"
  commentary,       ///< "commentary", "child_step_commentary", "inter_child_text"
  step,             ///< "step_discovered", "step_started", "step_progress"
  tool,             ///< "tool_execution", "tool_progress", "tool_completed"
  nested,           ///< "mcp_message", "skill_message", "subagent_message"
  plan,             ///< "collection_plan", "collect_plan", "collect-plan"
  question,         ///< "ask_message", "ask_user_input", "askuserinput"
  error,            ///< "error"
  turn_complete,    ///< "complete"
  terminated,       ///< "terminated"
  replay_boundary,  ///< "resume_complete": the replayed history is over
  binding,          ///< "metadata": how the server bound the session
  config,           ///< "config": the configuration the thread runs with
  topic,            ///< "topic_message"
  heartbeat,        ///< "heartbeat" (the client drops these; kept for completeness)
  raw,              ///< client-made: a frame that is not a JSON object
  connection_lost,  ///< client-made: the connection ended (closed, dropped or failed)
  other,            ///< any other message, or a message without a text `type`
};

/// Which member of a kind's group a message is; `none` for kinds without members.
enum class Phase {
  none,
  discovered,  ///< step_discovered
  started,     ///< step_started
  progress,    ///< step_progress, tool_progress
  execution,   ///< tool_execution
  completed,   ///< tool_completed
  mcp,         ///< mcp_message
  skill,       ///< skill_message
  subagent,    ///< subagent_message
};

/// The longest thread id the client takes from the server: ids go into the session store, the
/// one-shot hint and the next connection's URL.
inline constexpr std::size_t MAX_THREAD_ID_BYTES = 256;

/// How the server bound the session, read from binding metadata.
struct Binding {
  /// Never empty.
  std::string thread_id;
  /// Absent unless the server sent a real boolean.
  std::optional<bool> is_new;
};

struct AgentEvent {
  EventKind kind = EventKind::other;
  Phase phase = Phase::none;
  /// The message's "type" exactly as sent ("" when absent or not text): the spelling a
  /// question's answer is sent back under, and what a pass-through consumer reports.
  std::string type;
  /// The "status" field trimmed and lower-cased ("" when absent).
  std::string status;
  /// Binding metadata with a usable thread id; absent for any other event.
  std::optional<Binding> binding;
  /// Binding metadata whose thread id is no usable binding: it holds a control character or is
  /// longer than MAX_THREAD_ID_BYTES. The client keeps its own id and stores nothing of it.
  bool binding_refused = false;
  /// The decoded message; consumers read the fields of their kind from it.
  wirelet::Message message;
};

/// The event an incoming message carries.
[[nodiscard]] AgentEvent to_event(wirelet::Incoming incoming);

/// A server message's event (tests, replays of recorded frames).
[[nodiscard]] AgentEvent server_event(wirelet::Message message);

/// The turn is over: "complete", "terminated" or the connection's end.
[[nodiscard]] bool ends_turn(const AgentEvent& event) noexcept;

/// Evidence that the turn is still producing work: anything but the end of a turn,
/// bookkeeping (binding, configuration, topic) and progress (thinking, commentary, steps,
/// heartbeats).
[[nodiscard]] bool counts_as_completion_activity(const AgentEvent& event) noexcept;

/// Whether the event shows the user something. Plain output hides tool traffic, nested-agent
/// messages that did not fail, and questions that were neither asked, answered nor failed.
[[nodiscard]] bool is_user_visible_output(const AgentEvent& event, bool plain_output);

}  // namespace velmora::events
