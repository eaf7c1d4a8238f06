// The one consumer of the client's incoming queue: turns each message into its event, binds
// the session, keeps the saved-session store current, feeds the history replay, renders,
// answers questions, ends turns and reconnects after a broken connection (interactive runs
// only).
#pragma once

#include "velmora/events/agent_event.hpp"
#include "velmora/events/question.hpp"
#include "velmora/session_state.hpp"
#include "wirelet/client.hpp"

namespace velmora {

/// Runs until `stop_event` is set (checked between messages), a reconnect fails, or a one-shot
/// run's connection breaks. Errors of one message are reported, not thrown.
velmora::base::awaitable<void> receive_loop(SessionState& s);

/// Handles one event; false when the loop must end.
velmora::base::awaitable<bool> handle_incoming_message(SessionState& s, events::AgentEvent event);

/// Answers a live question as the session is set up to: the panel on a capable terminal, a
/// numbered prompt otherwise, the automatic answer when non-interactive.
velmora::base::awaitable<void> answer_question(SessionState& s, const events::AskPromptRequest& question);

}  // namespace velmora
