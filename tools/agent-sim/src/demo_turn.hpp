// The built-in agent: a believable turn made from the query text, with trigger words that ask
// for the harder cases (see tools/agent-sim/README.md):
//   sim:ask  sim:ask-free  sim:plan  sim:slow  sim:error  sim:stream=N
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "turn_steps.hpp"

namespace velmora::agent_sim {

struct QueryTriggers {
  bool ask_options = false;
  bool ask_free = false;
  bool plan = false;
  bool slow = false;
  bool error = false;
  /// The answer first, then the error (an agent that fails after answering in part).
  bool error_late = false;
  /// Stream this many deltas as fast as the client reads, instead of the demo answer.
  std::optional<std::size_t> stream;
};

[[nodiscard]] QueryTriggers parse_triggers(std::string_view query);

/// The query without trigger words, white space collapsed.
[[nodiscard]] std::string strip_triggers(std::string_view query);

/// A short title for a thread's first query.
[[nodiscard]] std::string topic_title(std::string_view query);

/// The query cut to about `max_bytes` for quoting, with "…" when cut.
[[nodiscard]] std::string excerpt(std::string_view text, std::size_t max_bytes);

struct DemoSettings {
  /// Seconds between the frames of a demo turn.
  double pace = 0.02;
  /// Bytes per answer delta.
  std::size_t chunk_bytes = 24;
  /// sim:slow streams `slow_count` deltas `slow_delay` seconds apart.
  double slow_delay = 0.2;
  std::size_t slow_count = 300;
  /// Time limit for an answer to a question.
  double answer_timeout = 300;
  /// When non-zero every query streams this many deltas (throughput mode).
  std::size_t throughput = 0;
  /// The shape of those deltas (throughput_delta): tokens, unbroken, paragraphs or code.
  std::string throughput_text = "tokens";
};

struct DemoTurnInput {
  std::string_view query;
  bool first_query = false;
  /// Makes the ids of this turn's messages unique.
  std::string id_prefix;
};

/// Steps of one demo turn. Frames use the placeholders {{query}}, {{excerpt}}, {{topic}} and
/// {{answer}}; the last step is always a `complete`.
[[nodiscard]] Steps build_demo_turn(const DemoTurnInput& input, const DemoSettings& settings);

}  // namespace velmora::agent_sim
