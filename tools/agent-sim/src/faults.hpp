// Faults the simulator injects, from the command line or a script's "faults" object. Unset
// values take the other source's value, then the defaults below.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <boost/json/object.hpp>

namespace velmora::agent_sim {

struct Faults {
  /// The first N websocket handshakes are answered 401.
  std::optional<std::size_t> reject_handshakes;
  /// The first N websocket handshakes are never answered: the TCP connection is held open, silent,
  /// until the client leaves (a listener that accepts and then hangs).
  std::optional<std::size_t> silent_handshakes;
  /// Per-connection faults hit the first N connections; 0 hits every connection (default 1).
  std::optional<std::size_t> fault_connections;
  /// Close the TCP connection without a close frame after N frames were sent.
  std::optional<std::size_t> drop_after_frames;
  /// After N frames, send half a frame and then nothing more.
  std::optional<std::size_t> stall_after_frames;
  /// At the start of a faulty connection's first turn: a text frame that is not JSON.
  std::optional<bool> send_non_json;
  /// ... a binary frame.
  std::optional<bool> send_binary;
  /// ... a text frame (a valid text_delta) of this many bytes.
  std::optional<std::size_t> oversized_frame;
  /// Seconds before the binding metadata is sent.
  std::optional<double> metadata_delay;
  /// Seconds before the websocket handshake is answered.
  std::optional<double> handshake_delay;
  /// Bind every session to a fresh thread, whatever was asked.
  std::optional<bool> override_thread;
  /// The binding metadata names this thread id instead of the bound one (a hostile binding).
  std::optional<std::string> metadata_thread_id;
  /// Upload answers with this status (and `upload_body`, default an error object).
  std::optional<unsigned> upload_status;
  std::optional<std::string> upload_body;
  /// Upload answers 200 with JSON lacking "relative_path".
  std::optional<bool> upload_missing_relative_path;

  /// Fills every unset field from `other`.
  void fill_from(const Faults& other);
};

/// Reads a script's "faults" object (keys are the field names above). Throws
/// velmora::base::RuntimeError naming the offending key.
[[nodiscard]] Faults faults_from_json(const boost::json::object& object);

}  // namespace velmora::agent_sim
