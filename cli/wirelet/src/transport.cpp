#include "transport.hpp"

#include <netdb.h>

#include <cstring>
#include <vector>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <boost/asio/bind_allocator.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/recycling_allocator.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "velmora/base/errors.hpp"
#include "velmora/base/within.hpp"
#include "velmora/tls/client_tls.hpp"
#include "wirelet/client.hpp"

namespace wirelet::detail {

using namespace velmora::base;

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using boost::system::error_code;

constexpr auto USE_TUPLE = net::as_tuple(net::use_awaitable);
/// Bounds the closing handshake: a peer that never answers must not hold up shutdown.
constexpr auto CLOSE_TIMEOUT = std::chrono::seconds(10);
/// A read buffer grown past this by one large message is given back before the next read.
constexpr std::size_t KEEP_BUFFER_BYTES = std::size_t{1} << 20;

bool is_tls_error(const error_code& ec) {
  return ec.category() == net::error::get_ssl_category() ||
         ec.category() == ssl::error::get_stream_category();
}

std::string tls_reason(const error_code& ec) {
  if (ec.category() == net::error::get_ssl_category()) {
    if (const char* reason = ::ERR_reason_error_string(static_cast<unsigned long>(ec.value()))) {
      return reason;
    }
  }
  return ec.message();
}

// The peer is gone or the stream already ended: closing has nothing left to do.
bool is_already_closed(const error_code& ec) {
  return ec == net::error::operation_aborted || ec == websocket::error::closed ||
         ec == net::error::eof || ec == net::error::connection_reset ||
         ec == net::error::broken_pipe || ec == net::error::not_connected ||
         ec == net::error::bad_descriptor || ec == ssl::error::stream_truncated ||
         ec == beast::error::timeout;
}

std::string describe_error(const error_code& ec) {
  if (ec == net::error::eof || ec == ssl::error::stream_truncated) {
    return "connection closed without a close frame";
  }
  if (ec == websocket::error::message_too_big) {
    return "message too big: the server sent a message larger than 64 MiB";
  }
  // A transport that already failed or closed answers every later operation with this code.
  if (ec == net::error::operation_aborted) return "connection closed";
  if (ec == beast::error::timeout) return "timed out";
  if (is_tls_error(ec)) return "[SSL] " + tls_reason(ec);
  if (ec == websocket::condition::protocol_violation) return "protocol error: " + ec.message();
  return ec.message();
}

// Resumes a cancelled caller with operation_aborted instead of treating the abort as a failure.
awaitable<void> rethrow_if_cancelled(const error_code& ec) {
  if (ec == net::error::operation_aborted) co_await throw_if_cancelled();
}

template <class NextLayer>
class BeastTransport final : public Transport {
 public:
  template <class... Args>
  explicit BeastTransport(std::shared_ptr<ssl::context> tls_context, Args&&... args)
      : tls_context_(std::move(tls_context)), ws_(std::forward<Args>(args)...) {}

  websocket::stream<NextLayer>& ws() noexcept { return ws_; }

  void start_read(std::shared_ptr<FrameSink> sink) override {
    buffer_.consume(buffer_.size());
    if (buffer_.capacity() > KEEP_BUFFER_BYTES) buffer_.shrink_to_fit();
    read_part(std::move(sink));
  }

  // A message is read part by part into `buffer_` until its last frame, as Beast's own
  // whole-message read does, minus that read's extra layer of composed operation per message.
  // A plain handler: the message reaches the sink in the last read's own completion, and a
  // waiting reader resumes from there. The recycling allocator keeps Beast's per-read state
  // off malloc.
  void read_part(std::shared_ptr<FrameSink> sink) {
    ws_.async_read_some(
        buffer_.prepare(ws_.read_size_hint(buffer_)),
        net::bind_allocator(net::recycling_allocator<void>(), [this, sink = std::move(sink)](
                                                                  error_code ec, std::size_t size) {
          buffer_.commit(size);
          if (!ec && !ws_.is_message_done()) {
            read_part(std::move(sink));
            return;
          }
          const std::string_view data(static_cast<const char*>(buffer_.data().data()),
                                      ec ? 0 : buffer_.size());
          sink->on_frame(ec, data, ws_.got_binary());
        }));
  }

  awaitable<error_code> write(std::string_view text) override {
    ws_.text(true);
    const auto [ec, size] =
        co_await ws_.async_write(net::buffer(text.data(), text.size()), USE_TUPLE);
    co_return ec;
  }

  awaitable<error_code> close() override {
    if (!ws_.is_open()) co_return error_code{};
    const auto [ec] = co_await ws_.async_close(websocket::close_code::normal, USE_TUPLE);
    if (ec && !is_already_closed(ec)) co_return ec;
    co_return error_code{};
  }

  void teardown() noexcept override {
    error_code ignored;  // closing an already closed socket is fine
    beast::get_lowest_layer(ws_).close(ignored);
  }

  [[nodiscard]] bool is_normal_close(const error_code& ec) const override {
    if (ec != websocket::error::closed) return false;
    const auto code = ws_.reason().code;
    return code == websocket::close_code::normal || code == websocket::close_code::going_away ||
           code == websocket::close_code::none;
  }

  [[nodiscard]] std::string describe(const error_code& ec) const override {
    if (ec == websocket::error::closed) {
      const auto& reason = ws_.reason();
      std::string text = "server closed the connection with code " + std::to_string(reason.code);
      if (!reason.reason.empty()) text += ": " + std::string(reason.reason.c_str());
      return text;
    }
    return describe_error(ec);
  }

 private:
  /// Outlives the TLS stream that refers to it.
  std::shared_ptr<ssl::context> tls_context_;
  websocket::stream<NextLayer> ws_;
  beast::flat_buffer buffer_;
};

using PlainTransport = BeastTransport<tcp::socket>;
using TlsTransport = BeastTransport<ssl::stream<tcp::socket>>;

// Name resolution through the C library so failures keep its own text
// ("Name or service not known"); runs on a worker so a slow resolver never blocks the loop.
awaitable<std::vector<tcp::endpoint>> resolve(const WsEndpoint& endpoint) {
  return run_blocking([host = endpoint.host, port = std::to_string(endpoint.port)] {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
      const int err = errno;
      if (rc == EAI_SYSTEM) throw OSError(std::strerror(err), err);
      throw OSError(::gai_strerror(rc), rc);
    }
    std::vector<tcp::endpoint> endpoints;
    for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
      tcp::endpoint ep;
      if (ai->ai_addrlen > ep.capacity()) continue;
      std::memcpy(ep.data(), ai->ai_addr, ai->ai_addrlen);
      ep.resize(ai->ai_addrlen);
      endpoints.push_back(ep);
    }
    ::freeaddrinfo(found);
    if (endpoints.empty()) throw OSError(::gai_strerror(EAI_NONAME), EAI_NONAME);
    return endpoints;
  });
}

// Tries every address in turn; the last failure is the one reported.
awaitable<tcp::socket> connect_socket(const std::vector<tcp::endpoint>& endpoints) {
  tcp::socket socket(co_await net::this_coro::executor);
  error_code last;
  for (const auto& ep : endpoints) {
    error_code ec;
    if (socket.is_open()) socket.close(ec);
    socket.open(ep.protocol(), ec);
    if (ec) {
      last = ec;
      continue;
    }
    const auto [connect_ec] = co_await socket.async_connect(ep, USE_TUPLE);
    co_await rethrow_if_cancelled(connect_ec);
    if (!connect_ec) {
      // Frames are small and interactive; waiting to coalesce them only adds latency.
      socket.set_option(tcp::no_delay(true), ec);
      co_return socket;
    }
    last = connect_ec;
  }
  throw OSError(last.message(), last.value());
}

std::string tls_handshake_error(const error_code& ec, SSL* handle) {
  const long verify = ::SSL_get_verify_result(handle);
  if (verify != X509_V_OK) {
    return "[SSL] certificate verify failed: " +
           std::string(::X509_verify_cert_error_string(verify));
  }
  if (ec == net::error::eof || ec == ssl::error::stream_truncated) {
    return "[SSL] unexpected end of stream during the TLS handshake";
  }
  if (is_tls_error(ec)) return "[SSL] " + tls_reason(ec);
  return ec.message();
}

awaitable<void> tls_handshake(ssl::stream<tcp::socket>& stream, const WsEndpoint& endpoint) {
  SSL* handle = stream.native_handle();
  velmora::tls::prepare_client(handle, endpoint.host);
  const auto [ec] = co_await stream.async_handshake(ssl::stream_base::client, USE_TUPLE);
  co_await rethrow_if_cancelled(ec);
  if (ec) throw OSError(tls_handshake_error(ec, handle), ec.value());
}

template <class NextLayer>
awaitable<void> ws_handshake(websocket::stream<NextLayer>& ws, const WsEndpoint& endpoint) {
  // The attempt's own time limit bounds the opening; no pings, as the service sends heartbeats.
  ws.set_option(websocket::stream_base::timeout{websocket::stream_base::none(),
                                                websocket::stream_base::none(), false});
  websocket::permessage_deflate deflate;
  deflate.client_enable = true;
  ws.set_option(deflate);
  ws.read_message_max(MAX_MESSAGE_BYTES);
  // One outbound message is one frame.
  ws.auto_fragment(false);

  websocket::response_type response;
  const auto [ec] =
      co_await ws.async_handshake(response, endpoint.host_header, endpoint.target, USE_TUPLE);
  co_await rethrow_if_cancelled(ec);
  if (ec) {
    if (ec == websocket::error::upgrade_declined) {
      const int status = static_cast<int>(response.result_int());
      throw InvalidStatus(status,
                          "server rejected WebSocket connection: HTTP " + std::to_string(status));
    }
    if (ec == net::error::eof || ec == ssl::error::stream_truncated ||
        ec == net::error::connection_reset) {
      throw OSError("connection closed during opening handshake", ec.value());
    }
    throw OSError("invalid opening handshake: " + describe_error(ec), ec.value());
  }
  ws.set_option(
      websocket::stream_base::timeout{CLOSE_TIMEOUT, websocket::stream_base::none(), false});
}

awaitable<std::unique_ptr<Transport>> open_attempt(const WsEndpoint& endpoint,
                                                   std::shared_ptr<ssl::context> context) {
  // An address literal needs no resolver, so a run to one starts no worker threads.
  error_code literal;
  const auto address = net::ip::make_address(endpoint.host, literal);
  std::vector<tcp::endpoint> addresses;
  if (literal) {
    addresses = co_await resolve(endpoint);
  } else {
    addresses.emplace_back(address, endpoint.port);
  }
  tcp::socket socket = co_await connect_socket(addresses);
  if (!endpoint.tls) {
    auto transport = std::make_unique<PlainTransport>(nullptr, std::move(socket));
    co_await ws_handshake(transport->ws(), endpoint);
    co_return transport;
  }
  auto transport = std::make_unique<TlsTransport>(context, std::move(socket), *context);
  co_await tls_handshake(transport->ws().next_layer(), endpoint);
  co_await ws_handshake(transport->ws(), endpoint);
  co_return transport;
}

struct AttemptOutcome {
  std::unique_ptr<Transport> transport;
  std::exception_ptr error;
};

// A race with `||` only ends early when a side succeeds, so a failed attempt reports its error
// as a value; otherwise a refused connection would wait out the whole time limit.
awaitable<AttemptOutcome> attempt_as_value(const WsEndpoint& endpoint,
                                           std::shared_ptr<ssl::context> context) {
  try {
    // g++ 12 destroys a co_await result twice inside a braced initialiser: keep it separate.
    auto transport = co_await open_attempt(endpoint, std::move(context));
    co_return AttemptOutcome{std::move(transport), nullptr};
  } catch (...) {
    co_return AttemptOutcome{nullptr, std::current_exception()};
  }
}

}  // namespace

std::shared_ptr<ssl::context> tls_context_for(const WsEndpoint& endpoint) {
  return endpoint.tls ? velmora::tls::make_client_context() : nullptr;
}

awaitable<std::unique_ptr<Transport>> open_transport(const WsEndpoint& endpoint,
                                                     std::shared_ptr<ssl::context> tls_context,
                                                     double timeout_seconds) {
  auto attempt =
      co_await within(timeout_seconds, attempt_as_value(endpoint, std::move(tls_context)));
  if (!attempt) throw TimeoutError("timed out during opening handshake");
  if (attempt->error) std::rethrow_exception(attempt->error);
  co_return std::move(attempt->transport);
}

}  // namespace wirelet::detail
