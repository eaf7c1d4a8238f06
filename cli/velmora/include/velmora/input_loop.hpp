// The interactive half of a session: read a line, let the slash commands take it, otherwise
// upload the queued attachments and send it as a query, then wait for the turn to end. Also
// the Ctrl+C handling of every run.
#pragma once

#include <optional>

#include <boost/json/array.hpp>

#include "velmora/session_state.hpp"
#include "velmora/slash_command_handler.hpp"

namespace velmora {

/// Runs until `stop_event` is set or the input ends. Errors of one line are reported and the
/// shell goes on; it ends only when the connection cannot be restored.
velmora::base::awaitable<void> input_loop(SessionState& s);

/// Uploads the queued attachments (waiting up to 10 s for the thread id) and returns their
/// records; empty without a request when nothing is queued. Upload errors propagate.
velmora::base::awaitable<boost::json::array> build_query_attachments(SessionState& s);

/// `build_query_attachments`, with a failed upload reported on the console: nothing then.
velmora::base::awaitable<std::optional<boost::json::array>> upload_query_attachments(SessionState& s);

/// The slash commands' view of the session.
[[nodiscard]] InteractiveCommandContext command_context(SessionState& s);

}  // namespace velmora
