// The Beast side of the loopback tests: one translation unit, blocking calls built from
// asynchronous operations run with a time limit.
#include "sim_client.hpp"

#include <array>
#include <cctype>
#include <chrono>
#include <functional>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json/parse.hpp>

#include "velmora/base/json_text.hpp"

namespace velmora::agent_sim::testing {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

std::chrono::milliseconds limit(double seconds) {
  return std::chrono::milliseconds(static_cast<long>(seconds * 1000));
}

// Runs the loop until `done` or the time limit; true when done.
bool run_until(net::io_context& io, const bool& done, double seconds) {
  io.restart();
  const auto deadline = std::chrono::steady_clock::now() + limit(seconds);
  while (!done && std::chrono::steady_clock::now() < deadline) {
    io.run_one_until(deadline);
  }
  return done;
}

tcp::endpoint loopback(int port) {
  return {net::ip::address_v4::loopback(), static_cast<unsigned short>(port)};
}

}  // namespace

boost::json::object HttpReply::json() const {
  boost::system::error_code ec;
  auto value = boost::json::parse(body, ec);
  if (ec || !value.is_object()) return {};
  return std::move(value.get_object());
}

HttpReply http_request(int port, const std::string& method, const std::string& target,
                       const Headers& headers, const std::string& body, double timeout_seconds) {
  net::io_context io;
  beast::tcp_stream stream(io);
  HttpReply reply;
  bool done = false;
  boost::system::error_code failure;
  http::request<http::string_body> req{http::string_to_verb(method), target, 11};
  req.set(http::field::host, "127.0.0.1");
  for (const auto& [name, value] : headers) req.set(name, value);
  req.body() = body;
  req.prepare_payload();
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(1ull << 34);
  stream.async_connect(loopback(port), [&](boost::system::error_code ec) {
    if (ec) {
      failure = ec;
      done = true;
      return;
    }
    http::async_write(stream, req, [&](boost::system::error_code wec, std::size_t) {
      // The server may answer (and close) before reading the whole body.
      (void)wec;
      http::async_read(stream, buffer, parser, [&](boost::system::error_code rec, std::size_t) {
        failure = rec;
        done = true;
      });
    });
  });
  run_until(io, done, timeout_seconds);
  if (done && !failure) {
    const auto& res = parser.get();
    reply.status = static_cast<int>(res.result_int());
    for (const auto& field : res) {
      std::string name(field.name_string());
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      reply.headers[name] = std::string(field.value());
    }
    reply.body = res.body();
  }
  return reply;
}

HttpReply post_form(int port, const std::string& target, const Headers& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    if (!body.empty()) body += '&';
    for (const std::string* part : {&name, &value}) {
      for (const unsigned char c : *part) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
          body += static_cast<char>(c);
        } else {
          static constexpr char HEX[] = "0123456789ABCDEF";
          body += '%';
          body += HEX[c >> 4];
          body += HEX[c & 15];
        }
      }
      if (part == &name) body += '=';
    }
  }
  return http_request(port, "POST", target, {{"Content-Type", "application/x-www-form-urlencoded"}},
                      body);
}

std::string raw_exchange(int port, const std::string& bytes, double timeout_seconds) {
  net::io_context io;
  tcp::socket socket(io);
  std::string answer;
  bool done = false;
  std::array<char, 4096> chunk{};
  std::function<void()> read_more = [&] {
    socket.async_read_some(net::buffer(chunk), [&](boost::system::error_code ec, std::size_t n) {
      answer.append(chunk.data(), n);
      if (ec) {
        done = true;
        return;
      }
      read_more();
    });
  };
  socket.async_connect(loopback(port), [&](boost::system::error_code ec) {
    if (ec) {
      done = true;
      return;
    }
    net::async_write(socket, net::buffer(bytes),
                     [&](boost::system::error_code, std::size_t) { read_more(); });
  });
  run_until(io, done, timeout_seconds);
  return answer;
}

boost::json::object WsFrame::json() const {
  boost::system::error_code ec;
  auto value = boost::json::parse(data, ec);
  if (ec || !value.is_object()) return {};
  return std::move(value.get_object());
}

std::string WsFrame::type() const {
  const auto object = json();
  const auto* type = object.if_contains("type");
  if (type != nullptr && type->is_string()) return std::string(type->get_string());
  return binary ? "<binary>" : "<text>";
}

struct WsClient::Impl {
  net::io_context io;
  websocket::stream<beast::tcp_stream> ws{io};
  websocket::response_type response;
  int status = 0;
  bool open = false;
  std::string end_reason;
};

WsClient::WsClient(int port, const std::string& target, double timeout_seconds)
    : impl_(std::make_unique<Impl>()) {
  auto& s = *impl_;
  bool done = false;
  beast::get_lowest_layer(s.ws).async_connect(loopback(port), [&](boost::system::error_code ec) {
    if (ec) {
      s.end_reason = ec.message();
      done = true;
      return;
    }
    s.ws.async_handshake(s.response, "127.0.0.1", target, [&](boost::system::error_code hec) {
      s.status = static_cast<int>(s.response.result_int());
      s.open = !hec;
      if (hec) s.end_reason = hec.message();
      done = true;
    });
  });
  if (!run_until(s.io, done, timeout_seconds)) s.end_reason = "timeout";
  s.ws.read_message_max(1ull << 30);
}

WsClient::~WsClient() {
  boost::system::error_code ec;
  // Tearing down: the simulator may have gone already.
  beast::get_lowest_layer(impl_->ws).socket().close(ec);
}

bool WsClient::connected() const { return impl_->open; }
int WsClient::handshake_status() const { return impl_->status; }
const std::string& WsClient::end_reason() const { return impl_->end_reason; }

bool WsClient::write(const std::string& data, bool binary) {
  auto& s = *impl_;
  if (!s.open) return false;
  bool done = false;
  bool ok = false;
  s.ws.binary(binary);
  s.ws.async_write(net::buffer(data), [&](boost::system::error_code ec, std::size_t) {
    ok = !ec;
    done = true;
  });
  return run_until(s.io, done, 10) && ok;
}

bool WsClient::send_json(const boost::json::object& frame) {
  return write(velmora::base::json_dumps(frame), false);
}
bool WsClient::send_text(const std::string& text) { return write(text, false); }
bool WsClient::send_binary(const std::string& bytes) { return write(bytes, true); }

std::optional<WsFrame> WsClient::read(double timeout_seconds) {
  auto& s = *impl_;
  if (!s.open) return std::nullopt;
  beast::flat_buffer buffer;
  bool done = false;
  boost::system::error_code failure;
  s.ws.async_read(buffer, [&](boost::system::error_code ec, std::size_t) {
    failure = ec;
    done = true;
  });
  if (!run_until(s.io, done, timeout_seconds)) {
    // Abandon the read: the stream cannot be used again after a cancelled read.
    s.end_reason = "timeout";
    s.open = false;
    beast::get_lowest_layer(s.ws).socket().close(failure);
    run_until(s.io, done, 5);
    return std::nullopt;
  }
  if (failure) {
    s.open = false;
    s.end_reason = failure == websocket::error::closed ? "closed" : failure.message();
    return std::nullopt;
  }
  return WsFrame{!s.ws.got_text(), beast::buffers_to_string(buffer.data())};
}

std::vector<WsFrame> WsClient::read_until(std::string_view type, double timeout_seconds) {
  std::vector<WsFrame> frames;
  const auto deadline = std::chrono::steady_clock::now() + limit(timeout_seconds);
  while (true) {
    const double left =
        std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    auto frame = read(left);
    if (!frame) break;
    frames.push_back(std::move(*frame));
    if (frames.back().type() == type) break;
  }
  return frames;
}

void WsClient::close() {
  auto& s = *impl_;
  if (!s.open) return;
  bool done = false;
  s.ws.async_close(websocket::close_code::normal, [&](boost::system::error_code) { done = true; });
  run_until(s.io, done, 10);
  s.open = false;
  s.end_reason = "closed";
}

std::vector<std::string> types_of(const std::vector<WsFrame>& frames) {
  std::vector<std::string> out;
  for (const auto& f : frames) out.push_back(f.type());
  return out;
}

std::string joined_deltas(const std::vector<WsFrame>& frames) {
  std::string out;
  for (const auto& f : frames) {
    const auto object = f.json();
    if (f.type() == "text_delta") out += std::string(object.at("delta").as_string());
  }
  return out;
}

}  // namespace velmora::agent_sim::testing
