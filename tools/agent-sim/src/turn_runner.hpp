// Plays a turn's steps on a session: frames, pauses, questions and their answers, streams.
//
// Threading: runs on the session's event loop, beside the session's read loop, which feeds
// `TurnSignals` (answers, interrupt). An interrupt ends the turn at the next step or pause with
// a "complete" frame; a session that is going away (`stopping`) ends it without one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include <boost/json/object.hpp>

#include "turn_steps.hpp"
#include "velmora/base/async.hpp"

namespace velmora::agent_sim {

/// The session side of a running turn.
class TurnHost {
 public:
  virtual ~TurnHost() = default;
  /// Sends one frame; `keep` also stores it in the thread's history. False when the
  /// connection is gone.
  virtual velmora::base::awaitable<bool> send(std::string data, bool binary, bool keep) = 0;
  /// Stores a frame in the thread's history without sending it.
  virtual void keep(std::string frame) = 0;
  virtual velmora::base::awaitable<void> drop() = 0;
  /// Closing handshake with `code` and `reason`.
  virtual velmora::base::awaitable<void> close(std::uint16_t code, std::string reason) = 0;
  virtual velmora::base::awaitable<void> stall() = 0;
};

struct Answer {
  std::string message_id;
  boost::json::object answers;
};

struct TurnSignals {
  explicit TurnSignals(const velmora::base::net::any_io_executor& ex)
      : interrupt(ex), answer_ready(ex) {}
  /// Set by an interrupt message, or when the session ends.
  velmora::base::Event interrupt;
  /// The session is ending: stop without a "complete".
  bool stopping = false;
  /// Answers in arrival order; the turn takes the one for its question.
  std::deque<Answer> answers;
  velmora::base::Event answer_ready;
};

struct TurnContext {
  Placeholders placeholders;
  /// Size of the query, for the usage figures.
  std::size_t query_bytes = 0;
  /// Store the frames in the thread's history (turns yes, on-connect frames no).
  bool keep_history = true;
};

/// A valid text_delta frame of about `bytes` bytes (at least its fixed part).
[[nodiscard]] std::string oversized_frame(std::size_t bytes);

/// Delta text number `index` of a throughput stream.
[[nodiscard]] std::string throughput_delta(std::size_t index, std::string_view shape = "tokens");

/// Plays `steps`; returns when they are done, the turn was interrupted, or the connection went.
velmora::base::awaitable<void> run_turn(TurnHost& host, TurnSignals& signals, Steps steps,
                                        TurnContext context);

}  // namespace velmora::agent_sim
