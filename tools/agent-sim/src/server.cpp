// The one translation unit with Beast in it: HTTP and websocket transport. Everything the
// endpoints decide lives in plain modules (http_routes, upload_receiver, ws_session).
#include "server.hpp"

#include <algorithm>
#include <array>
#include <csignal>
#include <iostream>
#include <memory>
#include <tuple>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>

#include "http_routes.hpp"
#include "session_target.hpp"
#include "sim_state.hpp"
#include "text_util.hpp"
#include "upload_receiver.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/base/json_text.hpp"
#include "ws_session.hpp"

namespace velmora::agent_sim {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using velmora::base::awaitable;

constexpr auto TUPLE = net::as_tuple(net::use_awaitable);
constexpr std::string_view SERVER_NAME = "velmora-agent-sim";
/// Longest silence while reading an HTTP request or upload before the connection is closed.
constexpr auto HTTP_IDLE = std::chrono::seconds(60);
constexpr std::size_t HEADER_LIMIT = 64 * 1024;
constexpr std::size_t PLAIN_BODY_LIMIT = 1024 * 1024;
constexpr std::size_t CLIENT_FRAME_LIMIT = 64 * 1024 * 1024;

// Every connection is served over one of these: plain TCP, or TLS when the simulator has a
// certificate. The code below is written once for both.
using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

template <class Stream>
void expire_after(Stream& stream, std::chrono::seconds limit) {
  beast::get_lowest_layer(stream).expires_after(limit);
}

template <class WsStream>
class BeastTransport final : public WsTransport {
 public:
  BeastTransport(WsStream& ws, const net::any_io_executor& ex) : ws_(ws), idle_(ex) {}

  awaitable<InboundFrame> read() override {
    beast::flat_buffer buffer;
    auto [ec, n] = co_await ws_.async_read(buffer, TUPLE);
    if (ec == websocket::error::closed) co_return InboundFrame{InboundFrame::Kind::closed, {}};
    if (ec) co_return InboundFrame{InboundFrame::Kind::failed, ec.message()};
    co_return InboundFrame{ws_.got_text() ? InboundFrame::Kind::text : InboundFrame::Kind::binary,
                           beast::buffers_to_string(buffer.data())};
  }

  awaitable<bool> write(std::string data, bool binary) override {
    co_await acquire();
    bool ok = false;
    if (!broken_) {
      ws_.binary(binary);
      auto [ec, n] = co_await ws_.async_write(net::buffer(data), TUPLE);
      ok = !ec;
      if (ec) broken_ = true;
    }
    release();
    co_return ok;
  }

  awaitable<void> close(std::uint16_t code, std::string reason) override {
    co_await acquire();
    if (!broken_) {
      broken_ = true;
      // A failed closing handshake leaves nothing to clean up: the session ends either way.
      websocket::close_reason frame(code);
      frame.reason = reason;
      (void)co_await ws_.async_close(frame, TUPLE);
    }
    release();
  }

  void drop() override {
    broken_ = true;
    auto& socket = beast::get_lowest_layer(ws_).socket();
    boost::system::error_code ec;
    // Errors mean the socket is already gone, which is what was asked for.
    socket.shutdown(tcp::socket::shutdown_both, ec);
    socket.close(ec);
  }

  awaitable<void> stall() override {
    co_await acquire();
    if (!broken_) {
      broken_ = true;
      // A text frame announcing 256 payload bytes, followed by only 64 of them.
      std::string bytes = {'\x81', '\x7e', '\x01', '\x00'};
      bytes += R"({"type": "text_delta", "delta": "this frame never ends .......)";
      bytes.resize(4 + 64, '.');
      // Through TLS when there is TLS: the client must see a broken frame, not a broken record.
      (void)co_await net::async_write(ws_.next_layer(), net::buffer(bytes), TUPLE);
    }
    release();
  }

 private:
  awaitable<void> acquire() {
    while (writing_) {
      idle_.clear();
      co_await idle_.wait();
    }
    writing_ = true;
  }

  void release() {
    writing_ = false;
    idle_.set();
  }

  WsStream& ws_;
  /// A write (or close) is in flight; Beast allows one at a time.
  bool writing_ = false;
  velmora::base::Event idle_;
  /// The websocket can no longer be written to.
  bool broken_ = false;
};

// Built outside co_await expressions: g++ 12 rejects braced string literals inside them.
HttpAnswer detail_answer(unsigned status, const std::string& detail) {
  return json_answer(status, {{"detail", detail}});
}

template <class Request>
RequestHead head_of(const Request& req) {
  RequestHead head;
  head.method = std::string(req.method_string());
  head.target = std::string(req.target());
  for (const auto& field : req) {
    head.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  return head;
}

template <class Stream>
awaitable<bool> write_answer(Stream& stream, const HttpAnswer& answer, unsigned version,
                             bool keep_alive) {
  http::response<http::string_body> res;
  res.version(version);
  res.result(answer.status);
  res.set(http::field::server, SERVER_NAME);
  res.set(http::field::content_type, answer.content_type);
  for (const auto& [name, value] : answer.headers) res.set(name, value);
  res.body() = answer.body;
  res.keep_alive(keep_alive);
  res.prepare_payload();
  expire_after(stream, HTTP_IDLE);
  auto [ec, n] = co_await http::async_write(stream, res, TUPLE);
  co_return !ec;
}

// A request with a small body: credentials service, device page, health check.
// Each serve_* answers one request; true when the connection may carry another.
template <class Stream>
awaitable<bool> serve_plain(SimState& state, Stream& stream, beast::flat_buffer& buffer,
                            http::request_parser<http::empty_body>& header) {
  const unsigned version = header.get().version();
  const auto length = header.content_length();
  http::request_parser<http::string_body> parser(std::move(header));
  parser.body_limit(PLAIN_BODY_LIMIT);
  boost::system::error_code ec;
  if (length && *length > PLAIN_BODY_LIMIT) {
    // Beast checks a declared length only while reading the header.
    ec = http::error::body_limit;
  } else {
    expire_after(stream, HTTP_IDLE);
    std::tie(ec, std::ignore) = co_await http::async_read(stream, buffer, parser, TUPLE);
  }
  if (ec == http::error::body_limit) {
    const auto answer = detail_answer(413, "request body too large");
    co_await write_answer(stream, answer, version, false);
    co_return false;
  }
  if (ec) co_return false;
  const auto answer =
      handle_http(state, head_of(parser.get()), parser.get().body(), wall_seconds());
  const bool keep_alive = parser.get().keep_alive();
  const bool written = co_await write_answer(stream, answer, version, keep_alive);
  co_return written&& keep_alive;
}

template <class Stream>
awaitable<bool> serve_upload(SimState& state, Stream& stream, beast::flat_buffer& buffer,
                             http::request_parser<http::empty_body>& header) {
  const unsigned version = header.get().version();
  UploadReceiver receiver(state, head_of(header.get()));
  if (receiver.refusal()) {
    // The body stays unread, so the connection cannot be reused.
    co_await write_answer(stream, *receiver.refusal(), version, false);
    co_return false;
  }
  const std::uint64_t limit = state.options.max_upload_bytes;
  const auto too_large = [&] {
    return receiver.fail(413, "upload body exceeds " + std::to_string(limit) + " bytes");
  };
  if (const auto length = header.content_length(); length && *length > limit) {
    const auto answer = too_large();
    co_await write_answer(stream, answer, version, false);
    co_return false;
  }
  if (beast::iequals(header.get()[http::field::expect], "100-continue")) {
    http::response<http::empty_body> go_on{http::status::continue_, version};
    auto [ec, n] = co_await http::async_write(stream, go_on, TUPLE);
    if (ec) {
      receiver.fail(400, "connection broke: " + ec.message());
      co_return false;
    }
  }
  const bool keep_alive = header.get().keep_alive();
  std::vector<char> chunk(1024 * 1024);
  if (const auto length = header.content_length(); length && !header.chunked()) {
    // A declared length is read straight from the socket: Beast's body parser re-arms a timer
    // for every small read, which caps large uploads well below what a client can send.
    std::uint64_t left = *length;
    const auto early = std::min<std::uint64_t>(left, buffer.size());
    const auto* data = static_cast<const char*>(buffer.data().data());
    receiver.feed({data, static_cast<std::size_t>(early)});
    buffer.consume(static_cast<std::size_t>(early));
    left -= early;
    while (left > 0) {
      expire_after(stream, HTTP_IDLE);
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
      auto [ec, n] = co_await stream.async_read_some(net::buffer(chunk.data(), want), TUPLE);
      if (ec) {
        receiver.fail(400, "upload body incomplete: " + ec.message());
        co_return false;
      }
      receiver.feed({chunk.data(), n});
      left -= n;
    }
  } else {
    http::request_parser<http::buffer_body> parser(std::move(header));
    parser.body_limit(limit);
    while (!parser.is_done()) {
      parser.get().body().data = chunk.data();
      parser.get().body().size = chunk.size();
      expire_after(stream, HTTP_IDLE);
      auto [ec, n] = co_await http::async_read(stream, buffer, parser, TUPLE);
      if (ec == http::error::need_buffer) ec = {};
      if (ec == http::error::body_limit) {
        const auto answer = too_large();
        co_await write_answer(stream, answer, version, false);
        co_return false;
      }
      if (ec) {
        receiver.fail(400, "upload body incomplete: " + ec.message());
        co_return false;
      }
      receiver.feed({chunk.data(), chunk.size() - parser.get().body().size});
    }
  }
  const auto answer = receiver.finish();
  const bool written = co_await write_answer(stream, answer, version, keep_alive);
  co_return written&& keep_alive;
}

template <class Stream>
awaitable<void> serve_websocket(SimState& state, Stream stream,
                                http::request<http::empty_body> request) {
  const std::size_t attempt = ++state.handshakes;
  auto target = parse_session_target(request.target());
  unsigned refused = 0;
  std::string reason;
  const auto& faults = state.options.faults;
  if (attempt <= faults.reject_handshakes.value_or(0)) {
    refused = 401;
    reason = "rejected by --reject-handshakes";
  } else if (const auto* refusal = std::get_if<TargetRefusal>(&target)) {
    refused = refusal->status;
    reason = refusal->reason;
  } else if (!state.credentials.accepts_session_token(std::get<SessionRequest>(target).token,
                                                      wall_seconds())) {
    refused = 401;
    reason = "token is not accepted";
  }
  boost::json::object record{{"attempt", attempt},
                             {"target", std::string(request.target())},
                             {"status", refused == 0 ? 101u : refused}};
  if (refused != 0) record["reason"] = reason;
  if (attempt <= faults.silent_handshakes.value_or(0)) {
    record["status"] = 0u;
    record["reason"] = "never answered (--silent-handshakes)";
    state.recorder.write("ws_handshake", record);
    // Whatever the client sends is read and dropped until it gives up and closes.
    beast::get_lowest_layer(stream).expires_never();
    std::array<char, 1024> ignored{};
    while (true) {
      auto [ec, n] = co_await stream.async_read_some(net::buffer(ignored), TUPLE);
      if (ec) co_return;
    }
  }
  state.recorder.write("ws_handshake", record);

  if (faults.handshake_delay && *faults.handshake_delay > 0) {
    co_await velmora::base::sleep_for(*faults.handshake_delay);
  }
  if (refused != 0) {
    const auto answer = detail_answer(refused, reason);
    co_await write_answer(stream, answer, request.version(), false);
    co_return;
  }

  beast::get_lowest_layer(stream).expires_never();
  websocket::stream<Stream> ws(std::move(stream));
  websocket::stream_base::timeout timeouts{};
  timeouts.handshake_timeout = std::chrono::seconds(30);
  timeouts.idle_timeout = websocket::stream_base::none();
  timeouts.keep_alive_pings = false;
  ws.set_option(timeouts);
  ws.set_option(websocket::stream_base::decorator(
      [](websocket::response_type& res) { res.set(http::field::server, SERVER_NAME); }));
  ws.read_message_max(CLIENT_FRAME_LIMIT);
  auto [ec] = co_await ws.async_accept(request, TUPLE);
  if (ec) co_return;
  BeastTransport<websocket::stream<Stream>> transport(ws, co_await net::this_coro::executor);
  co_await run_session(state, transport, std::move(std::get<SessionRequest>(target)),
                       ++state.sessions);
}

// Ends a connection the peer may already have left; there is nothing left to tell it.
void finish(PlainStream& stream) {
  boost::system::error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
}

awaitable<void> finish(TlsStream& stream) {
  expire_after(stream, std::chrono::seconds(5));
  // A peer that never answers the close_notify only costs this connection the wait above.
  (void)co_await stream.async_shutdown(TUPLE);
  finish(stream.next_layer());
}

template <class Stream>
awaitable<void> serve_requests(SimState& state, Stream stream) {
  beast::flat_buffer buffer;
  while (true) {
    http::request_parser<http::empty_body> header;
    header.header_limit(HEADER_LIMIT);
    // Each kind of request sets its own limit once the target is known.
    header.body_limit(boost::none);
    expire_after(stream, HTTP_IDLE);
    auto [ec, n] = co_await http::async_read_header(stream, buffer, header, TUPLE);
    if (ec) {
      // A peer that closed or went quiet gets nothing; a malformed request gets a reason.
      if (ec != http::error::end_of_stream && ec != beast::error::timeout &&
          ec != net::error::connection_reset && ec != net::error::eof) {
        const auto answer = detail_answer(400, "malformed request: " + ec.message());
        co_await write_answer(stream, answer, 11, false);
      }
      break;
    }
    if (websocket::is_upgrade(header.get())) {
      co_await serve_websocket(state, std::move(stream), header.release());
      co_return;
    }
    const std::string_view target = header.get().target();
    bool keep = false;
    if (target.substr(0, target.find('?')) == UPLOAD_PATH) {
      keep = co_await serve_upload(state, stream, buffer, header);
    } else {
      keep = co_await serve_plain(state, stream, buffer, header);
    }
    if (!keep) break;
  }
  if constexpr (std::is_same_v<Stream, TlsStream>) {
    co_await finish(stream);
  } else {
    finish(stream);
  }
}

awaitable<void> serve_connection(SimState& state, tcp::socket socket, ssl::context* tls) {
  boost::system::error_code ec;
  // Frames go out as they are written: a delta followed at once by `complete` must not wait
  // for the client's delayed acknowledgement (tens of milliseconds on Linux).
  socket.set_option(tcp::no_delay(true), ec);
  if (tls == nullptr) {
    co_await serve_requests(state, PlainStream(std::move(socket)));
    co_return;
  }
  TlsStream stream(PlainStream(std::move(socket)), *tls);
  expire_after(stream, HTTP_IDLE);
  std::tie(ec) = co_await stream.async_handshake(ssl::stream_base::server, TUPLE);
  // A client that refuses our certificate or is no TLS client ends here.
  if (ec) co_return;
  co_await serve_requests(state, std::move(stream));
}

void log_failure(std::exception_ptr e) {
  if (!e) return;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& err) {
    std::cerr << "velmora-agent-sim: connection failed: " << err.what() << '\n';
  }
}

awaitable<void> accept_loop(SimState& state, tcp::acceptor& acceptor, ssl::context* tls) {
  while (true) {
    auto [ec, socket] = co_await acceptor.async_accept(TUPLE);
    if (ec == net::error::operation_aborted || !acceptor.is_open()) co_return;
    if (ec) {
      // Out of descriptors and the like: wait a moment instead of spinning.
      co_await velmora::base::sleep_for(0.05);
      continue;
    }
    net::co_spawn(acceptor.get_executor(), serve_connection(state, std::move(socket), tls),
                  log_failure);
  }
}

// The server side of TLS from a certificate chain and key in PEM files; nothing without them.
std::unique_ptr<ssl::context> tls_context(const SimOptions& options) {
  if (!options.tls_certificate) return nullptr;
  auto context = std::make_unique<ssl::context>(ssl::context::tls_server);
  boost::system::error_code ec;
  context->use_certificate_chain_file(options.tls_certificate->string(), ec);
  if (!ec) context->use_private_key_file(options.tls_key->string(), ssl::context::pem, ec);
  if (ec) {
    throw velmora::base::OSError("cannot use the TLS certificate " + options.tls_certificate->string() +
                               " with the key " + options.tls_key->string() + ": " + ec.message(),
                           ec.value());
  }
  return context;
}

}  // namespace

int run_server(SimOptions options, std::optional<Script> script) {
  SimState state(std::move(options), std::move(script));
  const auto tls = tls_context(state.options);
  net::io_context ioc(1);
  tcp::acceptor acceptor(ioc);
  const tcp::endpoint endpoint(net::ip::address_v4::loopback(), state.options.port);
  boost::system::error_code ec;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    throw velmora::base::OSError(
        "cannot listen on 127.0.0.1:" + std::to_string(state.options.port) + ": " + ec.message(),
        ec.value());
  }
  const auto port = acceptor.local_endpoint().port();
  const std::string ws = tls ? "wss" : "ws";
  state.public_base =
      (tls ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(port);
  std::cout << port << '\n'
            << "websocket  " << ws << "://127.0.0.1:" << port << "/ws/v3  (or " << ws
            << "://127.0.0.1:" << port << "/ws/<user_id>)\n"
            << "file api   " << state.public_base << '\n'
            << "oauth      " << state.public_base << '\n'
            << std::flush;

  net::signal_set signals(ioc, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& error, int) {
    if (error) return;
    boost::system::error_code ignored;
    acceptor.close(ignored);  // already closed is fine: we are stopping
    ioc.stop();
  });
  net::co_spawn(ioc, accept_loop(state, acceptor, tls.get()), log_failure);
  ioc.run();
  state.save_if_changed();
  return 0;
}

}  // namespace velmora::agent_sim
