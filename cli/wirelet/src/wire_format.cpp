#include "wirelet/wire_format.hpp"

#include <charconv>
#include <utility>
#include <vector>

#include <boost/url/parse.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_generators.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "surrogate_escapes.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/base/json_text.hpp"
#include "velmora/base/strings.hpp"
#include "wirelet/client.hpp"

namespace wirelet {

using velmora::base::ascii_lower;
using velmora::base::is_valid_utf8;
using velmora::base::RuntimeError;

namespace {

constexpr char HEX_UPPER[] = "0123456789ABCDEF";
constexpr char HEX_LOWER[] = "0123456789abcdef";

bool is_unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == '-' || c == '~';
}

void append_percent(std::string& out, unsigned char c) {
  out += '%';
  out += HEX_UPPER[c >> 4];
  out += HEX_UPPER[c & 0x0F];
}

// Bytes a URL cannot carry literally. A user id spliced into the path may hold any of them;
// encoding them keeps the request line well-formed instead of failing the parse.
bool needs_url_escape(unsigned char c) {
  if (c <= 0x20 || c >= 0x7F) return true;
  switch (c) {
    case '"':
    case '<':
    case '>':
    case '\\':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}':
      return true;
    default:
      return false;
  }
}

Incoming raw_message(std::string_view frame, bool binary) {
  boost::json::object msg;
  msg["type"] = RAW_MESSAGE_TYPE;
  msg["raw"] = frame;
  if (binary) msg["binary"] = true;
  return {std::move(msg), Origin::client};
}

boost::json::parse_options frame_parse_options() {
  boost::json::parse_options options;
  // Deep tool inputs are legitimate; the parser keeps its own stack, so depth costs no recursion.
  options.max_depth = 1000;
  return options;
}

std::string text_or_none(const std::optional<std::string>& value) {
  return value ? *value : std::string("None");
}

}  // namespace

std::string form_encode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (is_unreserved(c)) {
      out += ch;
    } else if (c == ' ') {
      out += '+';
    } else {
      append_percent(out, c);
    }
  }
  return out;
}

std::string ws_url(const WireletConfig& config) {
  std::vector<std::pair<std::string_view, std::string_view>> params;
  params.emplace_back("userToken", config.user_token);
  if (config.thread_id && !config.thread_id->empty())
    params.emplace_back("thread_id", *config.thread_id);
  if (config.user_language && !config.user_language->empty()) {
    params.emplace_back("User_language", *config.user_language);
  }
  std::string_view base = config.base_url;
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);

  std::string url(base);
  if (base.ends_with("/v3")) {
    params.emplace_back("user_id", config.user_id);
  } else {
    url += '/';
    url += config.user_id;
  }
  char separator = '?';
  for (const auto& [key, value] : params) {
    url += separator;
    url += form_encode(key);
    url += '=';
    url += form_encode(value);
    separator = '&';
  }
  return url;
}

WsEndpoint parse_ws_endpoint(std::string_view url) {
  std::string cleaned;
  cleaned.reserve(url.size());
  for (const char ch : url) {
    const auto c = static_cast<unsigned char>(ch);
    if (needs_url_escape(c)) {
      append_percent(cleaned, c);
    } else {
      cleaned += ch;
    }
  }
  const auto parsed = boost::urls::parse_uri(cleaned);
  if (!parsed) throw RuntimeError("invalid websocket URL: " + parsed.error().message());
  const auto& u = *parsed;

  WsEndpoint ep;
  const std::string scheme = ascii_lower(u.scheme());
  if (scheme == "wss") {
    ep.tls = true;
  } else if (scheme != "ws") {
    throw RuntimeError("invalid websocket URL: scheme isn't ws or wss");
  }

  const std::uint16_t default_port = ep.tls ? 443 : 80;
  ep.port = default_port;
  if (u.has_port() && !u.port().empty()) {
    const std::string_view text = u.port();
    unsigned value = 0;
    const auto res = std::from_chars(text.data(), text.data() + text.size(), value);
    if (res.ec != std::errc() || res.ptr != text.data() + text.size() || value == 0 ||
        value > 65535) {
      throw RuntimeError("invalid websocket URL: bad port");
    }
    ep.port = static_cast<std::uint16_t>(value);
  }

  // Host names compare without case; the lower-case form goes into SNI and the Host header.
  ep.host = ascii_lower(u.host_address());
  if (ep.host.empty()) throw RuntimeError("invalid websocket URL: no host");
  ep.host_header = ascii_lower(u.encoded_host());
  if (ep.port != default_port) {
    ep.host_header += ':';
    ep.host_header += std::to_string(ep.port);
  }

  ep.target = u.encoded_path().empty() ? std::string("/") : std::string(u.encoded_path());
  if (u.has_query()) {
    ep.target += '?';
    ep.target += u.encoded_query();
  }
  return ep;
}

std::string bytes_literal(std::string_view bytes) {
  const bool has_single = bytes.find('\'') != std::string_view::npos;
  const bool has_double = bytes.find('"') != std::string_view::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  std::string out = "b";
  out += quote;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (ch == quote || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (ch == '\t') {
      out += "\\t";
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c >= 0x7F) {
      out += "\\x";
      out += HEX_LOWER[c >> 4];
      out += HEX_LOWER[c & 0x0F];
    } else {
      out += ch;
    }
  }
  out += quote;
  return out;
}

std::string frame_debug_text(std::string_view frame, bool binary) {
  if (binary && !is_valid_utf8(frame)) return bytes_literal(frame);
  return std::string(frame);
}

namespace {

// The answer delta spellings: only their text is streamed in pieces a pair can be cut between.
bool is_answer_delta(const boost::json::object& msg) {
  const auto* type = msg.if_contains("type");
  return type && type->is_string() && (*type == "text_delta" || *type == "answer_delta");
}

// The delta text, at the top level or under "payload", where the rewrite looked for it.
boost::json::string* delta_text(boost::json::object& msg) {
  if (auto* delta = msg.if_contains("delta")) return delta->if_string();
  if (auto* payload = msg.if_contains("payload"); payload && payload->is_object()) {
    if (auto* delta = payload->get_object().if_contains("delta")) return delta->if_string();
  }
  return nullptr;
}

boost::json::value message_id_of(const boost::json::object& msg) {
  if (const auto* id = msg.if_contains("message_id")) return *id;
  if (const auto* payload = msg.if_contains("payload"); payload && payload->is_object()) {
    if (const auto* id = payload->get_object().if_contains("message_id")) return *id;
  }
  return nullptr;
}

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

std::string utf8_of_pair(char16_t high, char16_t low) {
  const char32_t cp = 0x10000 + ((static_cast<char32_t>(high) - 0xD800) << 10) +
                      (static_cast<char32_t>(low) - 0xDC00);
  std::string out(4, '\0');
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return out;
}

}  // namespace

FrameDecoder::FrameDecoder() : parser_({}, frame_parse_options()) {}

std::optional<Incoming> FrameDecoder::decode(std::string_view frame, bool binary) {
  released_.reset();
  std::string_view text = frame;
  if (binary) {
    if (!is_valid_utf8(text)) {
      release_held();
      return raw_message(frame, binary);
    }
    // Byte payloads may open with a byte-order mark; JSON text never does.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  }
  detail::DeltaEdges edges;
  std::string rewritten;
  if (detail::may_hold_surrogate_escape(text)) {
    rewritten = detail::replace_lone_surrogates(text, edges);
    text = rewritten;
  }
  parser_.reset();
  boost::system::error_code ec;
  parser_.write(text.data(), text.size(), ec);
  if (ec) {
    release_held();
    return raw_message(frame, binary);
  }
  boost::json::value value = parser_.release();
  if (!value.is_object()) {
    release_held();
    return raw_message(frame, binary);
  }
  auto& msg = value.get_object();
  if (const auto* type = msg.if_contains("type");
      type && type->is_string() && type->get_string() == "heartbeat") {
    return std::nullopt;
  }
  join_halves(msg, edges.ends_high, edges.starts_low);
  return Incoming{std::move(msg), Origin::server};
}

void FrameDecoder::join_halves(boost::json::object& msg, char16_t ends_high, char16_t starts_low) {
  if (!held_ && ends_high == 0) return;
  boost::json::string* text = delta_text(msg);
  const bool answer = text != nullptr && is_answer_delta(msg);
  const boost::json::value id = answer ? message_id_of(msg) : boost::json::value();
  if (held_ && !(answer && held_->message_id == id)) release_held();
  if (text == nullptr) return;
  if (held_) {
    const char16_t high = held_->high;
    held_.reset();
    if (starts_low != 0 && std::string_view(*text).starts_with(REPLACEMENT)) {
      text->replace(0, REPLACEMENT.size(), utf8_of_pair(high, starts_low));
    } else {
      text->insert(0, REPLACEMENT);
    }
  }
  if (ends_high == 0) return;
  if (answer) {
    held_ = HeldHalf{msg.at("type"), id, ends_high};
  } else {
    text->append(REPLACEMENT);
  }
}

void FrameDecoder::release_held() {
  if (!held_) return;
  boost::json::object delta;
  delta["type"] = std::move(held_->type);
  if (!held_->message_id.is_null()) delta["message_id"] = std::move(held_->message_id);
  delta["delta"] = REPLACEMENT;
  held_.reset();
  released_ = Incoming{std::move(delta), Origin::server};
}

std::optional<Incoming> FrameDecoder::take_released() { return std::exchange(released_, {}); }

std::optional<Incoming> FrameDecoder::finish() {
  release_held();
  return take_released();
}

std::optional<Incoming> decode_frame(std::string_view frame, bool binary) {
  FrameDecoder decoder;
  auto message = decoder.decode(frame, binary);
  // A lone frame has no next delta: a high half that ended it is a lone surrogate after all.
  if (decoder.finish() && message) {
    if (auto* text = delta_text(message->message)) text->append(REPLACEMENT);
  }
  return message;
}

std::string session_block_text(const WireletConfig& config) {
  std::string out = "[DEBUG][SESSION]";
  out += "\n  endpoint: " + config.base_url;
  out += "\n  user_id: " + config.user_id;
  out += "\n  session_id: " + text_or_none(config.thread_id);
  out += "\n  language: " + text_or_none(config.user_language);
  out += "\n  explicit_thread_id: ";
  out += config.explicit_thread_id ? "True" : "False";
  return out;
}

std::string new_uuid4() {
  thread_local boost::uuids::random_generator generator;
  return boost::uuids::to_string(generator());
}

}  // namespace wirelet
