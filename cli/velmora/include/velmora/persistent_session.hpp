// A persistent session (`--input-format stream-json`): one connection, any number of turns,
// driven by JSON lines on standard input. Standard input is read on the worker pool; each query
// becomes one turn (its events, then its result line), queries that arrive while a turn runs
// wait in order; interrupt lines stop the running turn and answer lines answer the question
// that waits. A line that cannot be taken is reported as an `error` line and the session reads
// on. The receive loop, reconnects included, is the shell's.
//
// Threading: event-loop thread; only the reads of standard input run on a worker.
#pragma once

#include <cstddef>

#include "velmora/session_state.hpp"
#include "wirelet/client.hpp"

namespace velmora {

/// Longest input line: a query frame's limit. A longer line is skipped and reported.
inline constexpr std::size_t MAX_INPUT_LINE_BYTES = wirelet::MAX_MESSAGE_BYTES;
/// Queries waiting for their turn beyond these leave standard input unread until the queue
/// shrinks, so memory stays bounded whatever the input.
inline constexpr std::size_t MAX_QUEUED_QUERIES = 1000;
inline constexpr std::size_t MAX_QUEUED_QUERY_BYTES = std::size_t{16} << 20;

/// Runs until standard input has ended and the turns of its queries are over (then sets
/// `stop_event`), or until `stop_event` is set.
velmora::base::awaitable<void> persistent_input_loop(SessionState& s);

}  // namespace velmora
