// The one consumer of the client's incoming queue: binds the session, keeps the saved-session
// store current, tracks history replays, renders, answers questions, ends turns and reconnects
// after a broken connection (interactive runs only).
#pragma once

#include "velmora/session_state.hpp"
#include "wirelet/client.hpp"

namespace velmora {

/// Runs until `stop_event` is set (checked between messages), a reconnect fails, or a one-shot
/// run's connection breaks. Errors of one message are reported, not thrown.
velmora::base::awaitable<void> receive_loop(SessionState& s);

/// Runs until `stop_event` is set: when the server closes the connection normally, which the
/// client reports by no message, queues one "_connection_error" for it so that a turn it cut
/// off ends and the shell reconnects.
velmora::base::awaitable<void> watch_for_peer_close(SessionState& s);

/// Handles one message; false when the loop must end.
velmora::base::awaitable<bool> handle_incoming_message(SessionState& s, wirelet::Message msg);

}  // namespace velmora
