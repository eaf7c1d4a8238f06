// The steps a turn is made of, whether built by the demo behaviour or read from a script.
// Text in frames may hold placeholders ("{{query}}", "{{answer}}", ...) filled in when sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

namespace velmora::agent_sim {

enum class StepKind {
  send,         ///< `frame` as one JSON text frame
  send_text,    ///< `text` as one text frame, exactly (need not be JSON)
  send_binary,  ///< `text` as one binary frame
  delay,        ///< pause `seconds`
  wait_answer,  ///< wait for the answer to the latest ask message (`seconds`: time limit)
  stream,       ///< `text` in `frame_type` chunks of `count` bytes, `seconds` apart
  throughput,   ///< `count` generated deltas as fast as the client takes them (`text`: their
                ///< shape, see throughput_delta)
  complete,     ///< a "complete" frame with usage and duration; `frame` adds fields
  drop,         ///< close the TCP connection without a close frame
  close,        ///< close the websocket normally
  stall,        ///< send half a frame, then nothing more
  oversized,    ///< one valid text_delta frame of `count` bytes
};

struct Step {
  StepKind kind = StepKind::send;
  boost::json::object frame;
  std::string text;
  /// delay, stream: seconds; throughput: frames per second (0: as fast as the client reads).
  double seconds = 0;
  std::size_t count = 0;
  std::string message_id;
  std::string frame_type = "text_delta";
  /// close: the close frame's code (its reason is `text`).
  std::uint16_t close_code = 1000;
  /// wait_answer: a missing answer ends the turn with an error, instead of going on without it.
  bool fail_on_timeout = false;
};

using Steps = std::vector<Step>;
using Placeholders = std::map<std::string, std::string, std::less<>>;

/// Replaces every "{{name}}" whose name is known; unknown ones stay. Values are not expanded
/// again.
[[nodiscard]] std::string expand_placeholders(std::string_view text, const Placeholders& values);

/// Expands placeholders in every string inside `value` (not in keys).
[[nodiscard]] boost::json::value expand_json_placeholders(const boost::json::value& value,
                                                          const Placeholders& values);

/// Cuts `text` into pieces of about `chunk_bytes`, never inside a UTF-8 sequence.
[[nodiscard]] std::vector<std::string> split_chunks(std::string_view text, std::size_t chunk_bytes);

}  // namespace velmora::agent_sim
