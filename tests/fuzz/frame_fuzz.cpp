// Arbitrary websocket frames through the frame decoder, and its messages through the JSON writer.
//
// The input is a sequence of frames separated by 0xff bytes (never valid in UTF-8); the low
// bit of each frame's first byte says text or binary. One FrameDecoder reused across frames
// must give what a fresh decoder gives (no state leaks between messages; the half of a
// surrogate pair a delta ends with is let go of after each frame). Invariants: a frame that is
// no JSON object arrives whole as "_raw" (with "binary" for a binary frame); only a lone
// surrogate escape makes a frame the JSON parser refuses a message; only a heartbeat object
// gives nothing; and a message written by json_dumps is valid UTF-8 that parses back to the
// same message.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "fuzz_check.hpp"
#include "fuzz_json.hpp"
#include "velmora/base/json_text.hpp"
#include "wirelet/wire_format.hpp"

namespace {

// A lone frame's held half is U+FFFD at the end of its delta.
void append_held_half(boost::json::object& msg) {
  boost::json::value* delta = msg.if_contains("delta");
  if (delta == nullptr) {
    if (auto* payload = msg.if_contains("payload"); payload && payload->is_object())
      delta = payload->get_object().if_contains("delta");
  }
  if (delta && delta->is_string()) delta->get_string().append("\xEF\xBF\xBD");
}

// A frame with an escape the JSON parser may refuse as a lone surrogate.
bool has_surrogate_escape(std::string_view frame) {
  for (auto at = frame.find("\\u"); at != std::string_view::npos; at = frame.find("\\u", at + 1)) {
    if (at + 2 < frame.size() && (frame[at + 2] | 0x20) == 'd') return true;
  }
  return false;
}

void check_frame(wirelet::FrameDecoder& decoder, std::string_view frame, bool binary) {
  auto incoming = decoder.decode(frame, binary);
  // Each frame is checked alone: the half a delta ends with is let go of at once.
  FUZZ_CHECK(!decoder.take_released(), "a decoder that held nothing releases nothing");
  if (decoder.finish() && incoming) append_held_half(incoming->message);
  const auto fresh = wirelet::decode_frame(frame, binary);
  FUZZ_CHECK(incoming.has_value() == fresh.has_value() &&
                 (!incoming || (fuzz::same_json(incoming->message, fresh->message) &&
                                incoming->origin == fresh->origin)),
             "a reused decoder decodes like a fresh one");
  std::optional<boost::json::object> message;
  if (incoming) message = incoming->message;

  // What the frame carries, worked out independently of the decoder.
  std::string_view text = frame;
  if (binary && text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  boost::json::parse_options options;
  options.max_depth = 1000;
  boost::system::error_code ec;
  const auto value = boost::json::parse(text, ec, {}, options);
  if (ec && (!incoming || incoming->origin == wirelet::Origin::server)) {
    // Read leniently: only a lone surrogate escape makes a refused frame a message (or a
    // heartbeat, which gives nothing).
    FUZZ_CHECK(has_surrogate_escape(text), "only a lone surrogate is read leniently");
    if (!message) return;
  } else if (ec || !value.is_object() || (binary && !velmora::base::is_valid_utf8(frame))) {
    boost::json::object raw{{"type", "_raw"}, {"raw", frame}};
    if (binary) raw["binary"] = true;
    FUZZ_CHECK(message == raw, "a frame that is no JSON object arrives whole as _raw");
    FUZZ_CHECK(incoming->origin == wirelet::Origin::client, "_raw is the client's own message");
  } else if (const auto* type = value.as_object().if_contains("type");
             type && *type == "heartbeat") {
    FUZZ_CHECK(!message, "a heartbeat gives nothing");
    return;
  } else {
    FUZZ_CHECK(message && fuzz::same_json(*message, value), "a JSON object arrives as it is");
    FUZZ_CHECK(incoming->origin == wirelet::Origin::server, "a JSON object is the server's");
  }

  if (fuzz::has_non_finite(*message)) return;
  const std::string written = velmora::base::json_dumps(*message);
  FUZZ_CHECK(velmora::base::is_valid_utf8(written), "written messages are valid UTF-8");
  const auto back = boost::json::parse(written, ec, {}, options);
  FUZZ_CHECK(!ec && back.is_object(), "a written message parses");
  // Invalid UTF-8 (only ever in a raw frame) is written as U+FFFD.
  FUZZ_CHECK(velmora::base::is_valid_utf8(frame) ? fuzz::close_json(back, *message)
                                                 : velmora::base::json_dumps(back) == written,
             "a written message round-trips");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  wirelet::FrameDecoder decoder;
  std::size_t begin = 0;
  while (begin <= input.size()) {
    auto end = input.find('\xff', begin);
    if (end == std::string_view::npos) end = input.size();
    const std::string_view chunk = input.substr(begin, end - begin);
    begin = end + 1;
    if (chunk.empty()) continue;
    const bool binary = (static_cast<unsigned char>(chunk[0]) & 1) != 0;
    check_frame(decoder, chunk.substr(1), binary);
  }
  return 0;
}
