#include "ws_test_server.hpp"

#include <atomic>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

namespace wirelet_test {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

namespace {

constexpr auto USE_TUPLE = net::as_tuple(net::use_awaitable);

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

SelfSignedCert make_self_signed_cert(const std::string& subject_alt_names) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  if (key == nullptr || cert == nullptr) throw std::runtime_error("cannot create a key");
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("wirelet test"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* san =
      X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, subject_alt_names.c_str());
  X509_add_ext(cert, san, -1);
  X509_EXTENSION_free(san);
  X509_sign(cert, key, EVP_sha256());

  BIO* cert_bio = BIO_new(BIO_s_mem());
  BIO* key_bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(cert_bio, cert);
  PEM_write_bio_PrivateKey(key_bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  SelfSignedCert out{bio_text(cert_bio), bio_text(key_bio)};
  BIO_free(cert_bio);
  BIO_free(key_bio);
  X509_free(cert);
  EVP_PKEY_free(key);
  return out;
}

struct WsTestServer::State {
  /// First member, so it is destroyed last: its pending coroutines own sockets and streams.
  net::io_context io;
  ServerOptions options;
  Handler handler;
  std::optional<ssl::context> tls_context;
  tcp::acceptor acceptor{io};
  std::thread thread;
  /// Sockets held open without an answer (stall_handshake); touched on the server thread only.
  std::vector<tcp::socket> stalled;

  mutable std::mutex mutex;
  int connections = 0;
  int finished = 0;
  std::vector<std::string> targets;
  std::vector<std::string> server_names;
  std::vector<std::string> received;
  std::vector<int> close_codes;

  template <class F>
  void record(F f) {
    std::lock_guard lock(mutex);
    f();
  }
};

namespace {

using State = WsTestServer::State;

template <class Stream>
class PeerImpl final : public Peer {
 public:
  PeerImpl(Stream stream, State& state) : ws(std::move(stream)), state_(state) {}

  awaitable<void> send_text(std::string text) override {
    ws.text(true);
    co_await ws.async_write(net::buffer(text), net::use_awaitable);
  }

  awaitable<void> send_binary(std::string bytes) override {
    ws.binary(true);
    co_await ws.async_write(net::buffer(bytes), net::use_awaitable);
  }

  awaitable<std::optional<std::string>> receive() override {
    beast::flat_buffer buffer;
    const auto [ec, size] = co_await ws.async_read(buffer, USE_TUPLE);
    if (ec) {
      if (ec == websocket::error::closed) {
        state_.record([&] { state_.close_codes.push_back(ws.reason().code); });
      }
      co_return std::nullopt;
    }
    std::string text = beast::buffers_to_string(buffer.data());
    state_.record([&] { state_.received.push_back(text); });
    co_return text;
  }

  awaitable<void> close(int code, std::string reason) override {
    websocket::close_reason why(static_cast<std::uint16_t>(code));
    why.reason = reason;
    co_await ws.async_close(why, USE_TUPLE);
  }

  void reset() override {
    auto& socket = beast::get_lowest_layer(ws);
    boost::system::error_code ignored;  // the link is being broken on purpose
    socket.set_option(net::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
  }

  void drop() override {
    boost::system::error_code ignored;  // the link is being broken on purpose
    beast::get_lowest_layer(ws).shutdown(net::socket_base::shutdown_both, ignored);
    beast::get_lowest_layer(ws).close(ignored);
  }

  websocket::stream<Stream> ws;

 private:
  State& state_;
};

template <class Stream>
awaitable<void> serve_websocket(State* state, Stream stream) {
  beast::flat_buffer buffer;
  http::request<http::string_body> request;
  const auto [read_ec, read_size] = co_await http::async_read(stream, buffer, request, USE_TUPLE);
  if (read_ec) co_return;
  state->record([&] { state->targets.emplace_back(request.target()); });

  if (state->options.reject_status != 0) {
    http::response<http::string_body> response{
        static_cast<http::status>(state->options.reject_status), request.version()};
    response.body() = "rejected";
    response.prepare_payload();
    co_await http::async_write(stream, response, USE_TUPLE);
    co_return;
  }

  PeerImpl<Stream> peer(std::move(stream), *state);
  if (state->options.deflate) {
    websocket::permessage_deflate deflate;
    deflate.server_enable = true;
    peer.ws.set_option(deflate);
  }
  peer.ws.read_message_max(std::size_t{256} << 20);
  const auto [accept_ec] = co_await peer.ws.async_accept(request, USE_TUPLE);
  if (accept_ec) co_return;
  try {
    if (state->handler) {
      co_await state->handler(peer);
    } else {
      co_await receive_until_closed(peer);
    }
  } catch (const std::exception& e) {
    // A handler failing is how some tests end a connection; the test asserts on the client.
    (void)e;
  }
  state->record([&] { ++state->finished; });
}

awaitable<void> serve_connection(State* state, tcp::socket socket) {
  state->record([&] { ++state->connections; });
  if (state->options.stall_handshake) {
    state->stalled.push_back(std::move(socket));
    co_return;
  }
  if (!state->tls_context) {
    co_await serve_websocket(state, std::move(socket));
    co_return;
  }
  ssl::stream<tcp::socket> stream(std::move(socket), *state->tls_context);
  const auto [ec] = co_await stream.async_handshake(ssl::stream_base::server, USE_TUPLE);
  if (ec) co_return;  // the client refused the certificate
  const char* name = SSL_get_servername(stream.native_handle(), TLSEXT_NAMETYPE_host_name);
  state->record([&] { state->server_names.emplace_back(name != nullptr ? name : ""); });
  co_await serve_websocket(state, std::move(stream));
}

awaitable<void> accept_loop(State* state) {
  while (true) {
    auto [ec, socket] = co_await state->acceptor.async_accept(USE_TUPLE);
    if (ec) co_return;
    net::co_spawn(state->io, serve_connection(state, std::move(socket)), net::detached);
  }
}

}  // namespace

awaitable<void> receive_until_closed(Peer& peer) {
  // g++ 12 miscompiles a co_await in a loop condition; keep it in the body.
  while (true) {
    const auto text = co_await peer.receive();
    if (!text) co_return;
  }
}

awaitable<void> send_then_close(Peer& peer, std::vector<std::string> texts, int code) {
  for (auto& text : texts) co_await peer.send_text(std::move(text));
  co_await peer.close(code);
  // Let the client's answer arrive so the handshake completes on both sides.
  co_await receive_until_closed(peer);
}

WsTestServer::WsTestServer(ServerOptions options, Handler handler)
    : state_(std::make_shared<State>()) {
  state_->options = std::move(options);
  state_->handler = std::move(handler);
  if (state_->options.tls) {
    state_->tls_context.emplace(ssl::context::tls_server);
    const auto& cert = *state_->options.tls;
    state_->tls_context->use_certificate_chain(net::buffer(cert.cert_pem));
    state_->tls_context->use_private_key(net::buffer(cert.key_pem), ssl::context::pem);
    if (const int version = state_->options.tls_max_version; version != 0) {
      SSL_CTX* handle = state_->tls_context->native_handle();
      SSL_CTX_set_max_proto_version(handle, version);
      // Older protocols need the weakest security level and an explicit floor to be offered.
      if (version < TLS1_2_VERSION) {
        SSL_CTX_set_min_proto_version(handle, TLS1_VERSION);
        SSL_CTX_set_security_level(handle, 0);
      }
    }
  }
  const auto address = net::ip::make_address(state_->options.bind_address);
  tcp::endpoint endpoint(address, 0);
  state_->acceptor.open(endpoint.protocol());
  state_->acceptor.set_option(net::socket_base::reuse_address(true));
  state_->acceptor.bind(endpoint);
  state_->acceptor.listen();
  net::co_spawn(state_->io, accept_loop(state_.get()), net::detached);
  state_->thread = std::thread([state = state_.get()] { state->io.run(); });
}

WsTestServer::~WsTestServer() {
  state_->io.stop();
  state_->thread.join();
}

unsigned short WsTestServer::port() const { return state_->acceptor.local_endpoint().port(); }

std::string WsTestServer::url(const std::string& path) const {
  std::string host = state_->options.bind_address;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return std::string(state_->options.tls ? "wss" : "ws") + "://" + host + ":" +
         std::to_string(port()) + path;
}

int WsTestServer::connections() const {
  std::lock_guard lock(state_->mutex);
  return state_->connections;
}

std::vector<std::string> WsTestServer::targets() const {
  std::lock_guard lock(state_->mutex);
  return state_->targets;
}

std::vector<std::string> WsTestServer::tls_server_names() const {
  std::lock_guard lock(state_->mutex);
  return state_->server_names;
}

std::vector<std::string> WsTestServer::received() const {
  std::lock_guard lock(state_->mutex);
  return state_->received;
}

std::vector<int> WsTestServer::close_codes() const {
  std::lock_guard lock(state_->mutex);
  return state_->close_codes;
}

int WsTestServer::finished() const {
  std::lock_guard lock(state_->mutex);
  return state_->finished;
}

awaitable<bool> eventually(std::function<bool()> until, double limit) {
  const double deadline = velmora::base::monotonic_seconds() + limit;
  while (!until()) {
    if (velmora::base::monotonic_seconds() > deadline) co_return false;
    co_await velmora::base::sleep_for(0.005);
  }
  co_return true;
}

}  // namespace wirelet_test
