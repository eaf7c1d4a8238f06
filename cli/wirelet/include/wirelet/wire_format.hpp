// Pure pieces of the websocket client: URL forming, frame decoding and debug text. No I/O, so
// the program and the tests call them directly.
//
//   wirelet::form_encode("t k");                       // "t+k"
//   wirelet::decode_frame(R"({"type": "text"})", false) // {"type": "text"} from the server
//   wirelet::decode_frame("not json", false)           // {"type": "_raw", "raw": "not json"},
//                                                      // made by the client
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>
#include <boost/json/parser.hpp>

namespace wirelet {

struct WireletConfig;

/// The client's own message for a frame that is not a JSON object: "raw" holds the frame.
inline constexpr std::string_view RAW_MESSAGE_TYPE = "_raw";
/// The client's own message for the connection's end: "error_message" says how it ended.
inline constexpr std::string_view CONNECTION_ERROR_TYPE = "_connection_error";

/// Who made an incoming message. A server frame may use any "type", the client's own among
/// them; only the origin tells the client's messages apart.
enum class Origin { server, client };

/// One incoming message with its origin.
struct Incoming {
  boost::json::object message;
  Origin origin = Origin::server;
};

/// Form encoding of one query component: a space is "+", only letters, digits and "_.-~" stay.
[[nodiscard]] std::string form_encode(std::string_view text);

/// The endpoint URL of `config` with its query, in the order userToken, thread_id,
/// User_language (and user_id for a base ending in "/v3").
[[nodiscard]] std::string ws_url(const WireletConfig& config);

/// Where a websocket URL points.
struct WsEndpoint {
  bool tls = false;
  /// Without IPv6 brackets, ready for name resolution.
  std::string host;
  std::uint16_t port = 0;
  /// The Host header: host, plus ":port" when it is not the scheme's default.
  std::string host_header;
  /// Path and query of the request line; never empty.
  std::string target;
};

/// Parses a ws:// or wss:// URL. Bytes a URL cannot hold (spaces, non-ASCII) are
/// percent-encoded first. Throws RuntimeError for another scheme, a missing host or a bad port;
/// the message never repeats the URL, whose query holds the token.
[[nodiscard]] WsEndpoint parse_ws_endpoint(std::string_view url);

/// A byte string's literal form, as printed for undecodable frames: b'\xff'.
[[nodiscard]] std::string bytes_literal(std::string_view bytes);

/// How a frame shows in a debug line: text as is; binary as UTF-8 text when it is valid UTF-8,
/// else as its literal form.
[[nodiscard]] std::string frame_debug_text(std::string_view frame, bool binary);

/// The message a frame carries: its JSON object from the server; the client's "_raw" (with
/// "binary": true for a binary frame) when it is not a JSON object; nothing for a heartbeat.
/// JSON is read leniently: a lone UTF-16 surrogate escape is read as U+FFFD.
[[nodiscard]] std::optional<Incoming> decode_frame(std::string_view frame, bool binary);

/// The frames of one connection, in order: `decode_frame` with one parser kept between messages
/// (its buffers are reused, which halves the cost of a small message on a busy stream), which
/// also joins a surrogate pair cut between two deltas of one answer message ("\ud83d", then
/// "\ude00"). The high half is held back until the next frame; when that is not the rest of
/// the same message, the half is delivered as a U+FFFD delta of its message, before it.
class FrameDecoder {
 public:
  FrameDecoder();
  [[nodiscard]] std::optional<Incoming> decode(std::string_view frame, bool binary);
  /// A delta to deliver before the message the last `decode` returned, if that call let go of
  /// a held half.
  [[nodiscard]] std::optional<Incoming> take_released();
  /// The held half, if any, as its U+FFFD delta: the connection's frames are over.
  [[nodiscard]] std::optional<Incoming> finish();

 private:
  struct HeldHalf {
    boost::json::value type;
    boost::json::value message_id;
    char16_t high = 0;
  };

  void join_halves(boost::json::object& msg, char16_t ends_high, char16_t starts_low);
  void release_held();

  boost::json::parser parser_;
  std::optional<HeldHalf> held_;
  std::optional<Incoming> released_;
};

/// The "[DEBUG][SESSION]" block for `config`, without a final line break.
[[nodiscard]] std::string session_block_text(const WireletConfig& config);

/// A fresh random version 4 UUID, lower-case and hyphenated.
[[nodiscard]] std::string new_uuid4();

}  // namespace wirelet
