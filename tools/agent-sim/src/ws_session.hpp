// One websocket session of the agent service: binds the thread (metadata, config echo, history
// replay, resume_complete), then serves queries with turns, answers, interrupt, terminate and
// heartbeats, injecting the configured faults.
//
// Threading: everything runs on the event-loop thread. The transport allows one read and one
// write in flight at a time; `run_session` keeps to that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "session_target.hpp"
#include "sim_state.hpp"
#include "velmora/base/async.hpp"

namespace velmora::agent_sim {

struct InboundFrame {
  enum class Kind { text, binary, closed, failed };
  Kind kind = Kind::closed;
  std::string data;  ///< the payload, or the failure's text
};

/// The websocket, as the session sees it.
class WsTransport {
 public:
  virtual ~WsTransport() = default;
  /// The next frame; `closed` after a normal close, `failed` when the connection broke.
  virtual velmora::base::awaitable<InboundFrame> read() = 0;
  /// Sends one frame after any write in progress; false when the connection failed.
  virtual velmora::base::awaitable<bool> write(std::string data, bool binary) = 0;
  /// Closing handshake with `code` (1000: normal) and `reason`, after any write in progress.
  virtual velmora::base::awaitable<void> close(std::uint16_t code, std::string reason) = 0;
  /// Ends the TCP connection without a close frame.
  virtual void drop() = 0;
  /// Writes the first half of a frame after any write in progress; nothing may follow.
  virtual velmora::base::awaitable<void> stall() = 0;
};

/// Runs session number `number` until the peer leaves, the session is terminated or dropped.
velmora::base::awaitable<void> run_session(SimState& state, WsTransport& transport,
                                           SessionRequest request, std::size_t number);

}  // namespace velmora::agent_sim
