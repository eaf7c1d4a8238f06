#include "wirelet/wire_format.hpp"

#include <charconv>
#include <utility>
#include <vector>

#include <boost/url/parse.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_generators.hpp>
#include <boost/uuid/uuid_io.hpp>

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

FrameDecoder::FrameDecoder() : parser_({}, frame_parse_options()) {}

std::optional<Incoming> FrameDecoder::decode(std::string_view frame, bool binary) {
  std::string_view text = frame;
  if (binary) {
    if (!is_valid_utf8(text)) return raw_message(frame, binary);
    // Byte payloads may open with a byte-order mark; JSON text never does.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  }
  parser_.reset();
  boost::system::error_code ec;
  parser_.write(text.data(), text.size(), ec);
  if (ec) return raw_message(frame, binary);
  boost::json::value value = parser_.release();
  if (!value.is_object()) return raw_message(frame, binary);
  auto& msg = value.get_object();
  if (const auto* type = msg.if_contains("type");
      type && type->is_string() && *type == "heartbeat") {
    return std::nullopt;
  }
  return Incoming{std::move(msg), Origin::server};
}

std::optional<Incoming> decode_frame(std::string_view frame, bool binary) {
  return FrameDecoder().decode(frame, binary);
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
