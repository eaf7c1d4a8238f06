// The simulator's network side: one TCP port on 127.0.0.1 serving HTTP (credentials service,
// File API) and websocket sessions, on one event-loop thread.
#pragma once

#include <optional>

#include "sim_options.hpp"
#include "turn_script.hpp"

namespace velmora::agent_sim {

/// Serves until SIGINT or SIGTERM. Prints the port as the first line of standard output, then
/// the endpoint addresses. Returns the exit status; throws velmora::base::Error kinds when it
/// cannot start (port taken, unreadable state file, record file not writable).
int run_server(SimOptions options, std::optional<Script> script);

}  // namespace velmora::agent_sim
