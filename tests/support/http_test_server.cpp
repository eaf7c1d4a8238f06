// The only translation unit of the test server that includes Beast.
#include "http_test_server.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "test_support.hpp"

namespace velmora::testing {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = beast::http;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using namespace net::experimental::awaitable_operators;

constexpr auto use_tuple = net::as_tuple(net::use_awaitable);

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

void add_extension(X509* cert, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) throw std::runtime_error("bad certificate extension " + value);
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

}  // namespace

TestCertificate make_test_certificate(const std::vector<std::string>& names) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  if (key == nullptr || cert == nullptr) throw std::runtime_error("cannot create a certificate");
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(std::random_device{}() >> 1));
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 30L * 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* subject = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(names.front().c_str()), -1, -1,
                             0);
  X509_set_issuer_name(cert, subject);
  std::string alt;
  for (const auto& name : names) {
    boost::system::error_code ec;
    net::ip::make_address(name, ec);
    alt += (alt.empty() ? "" : ",") + std::string(ec ? "DNS:" : "IP:") + name;
  }
  add_extension(cert, NID_basic_constraints, "critical,CA:TRUE");
  add_extension(cert, NID_key_usage, "critical,digitalSignature,keyCertSign");
  add_extension(cert, NID_subject_key_identifier, "hash");
  add_extension(cert, NID_subject_alt_name, alt);
  X509_sign(cert, key, EVP_sha256());

  TestCertificate pem;
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  pem.certificate = bio_text(bio);
  BIO_free(bio);
  bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  pem.private_key = bio_text(bio);
  BIO_free(bio);
  X509_free(cert);
  EVP_PKEY_free(key);
  return pem;
}

namespace {

net::awaitable<void> relay(tcp::socket& from, tcp::socket& to) {
  std::array<char, 16384> buf{};
  while (true) {
    auto [rec, n] = co_await from.async_read_some(net::buffer(buf), use_tuple);
    if (n > 0) {
      auto [wec, w] = co_await net::async_write(to, net::buffer(buf.data(), n), use_tuple);
      if (wec) break;
    }
    if (rec) break;
  }
  boost::system::error_code ignored;  // the peer may already be gone
  to.shutdown(tcp::socket::shutdown_send, ignored);
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& h : headers) {
    if (iequals(h.name, name)) return h.value;
  }
  return std::nullopt;
}

std::vector<std::string> RecordedRequest::header_names() const {
  std::vector<std::string> names;
  for (const auto& h : headers) names.push_back(h.name);
  return names;
}

HttpReply json_reply(int status, std::string body) {
  return HttpReply{
      .status = status, .headers = {{"Content-Type", "application/json"}}, .body = std::move(body)};
}

struct HttpTestServer::Impl {
  mutable std::mutex mutex;
  HttpHandler handler;
  std::vector<RecordedRequest> requests;
  std::vector<std::string> server_names;
  std::optional<TempDir> dir;
  std::filesystem::path certificate_file;
  std::optional<ssl::context> tls;
  std::string url;
  std::uint16_t port = 0;
  net::io_context io;
  tcp::acceptor acceptor{io};
  std::thread thread;

  HttpReply answer(const RecordedRequest& request) {
    HttpHandler current;
    {
      std::lock_guard lock(mutex);
      requests.push_back(request);
      current = handler;
    }
    if (!current) return HttpReply{.status = 404, .body = "no handler"};
    try {
      return current(request);
    } catch (const std::exception& e) {
      return HttpReply{.status = 500, .body = e.what()};
    }
  }

  template <class Stream>
  net::awaitable<void> session(Stream& stream) {
    beast::flat_buffer buffer;
    buffer.reserve(64 * 1024);  // empty, it would read 512 bytes at a time
    while (true) {
      bhttp::request_parser<bhttp::string_body> parser;
      parser.body_limit(std::uint64_t{1} << 32);
      auto [ec, n] = co_await bhttp::async_read(stream, buffer, parser, use_tuple);
      if (ec) co_return;
      auto req = parser.release();
      RecordedRequest recorded;
      recorded.method = std::string(req.method_string());
      recorded.target = std::string(req.target());
      for (const auto& field : req) {
        recorded.headers.push_back({std::string(field.name_string()), std::string(field.value())});
      }
      recorded.body = std::move(req.body());
      const HttpReply reply = answer(recorded);

      if (reply.delay_seconds > 0) {
        net::steady_timer timer(io, std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                        std::chrono::duration<double>(reply.delay_seconds)));
        co_await timer.async_wait(use_tuple);
      }
      if (reply.drop) co_return;
      if (reply.raw) {
        co_await net::async_write(stream, net::buffer(*reply.raw), use_tuple);
        co_return;
      }
      if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
        if (reply.tunnel && req.method() == bhttp::verb::connect) {
          co_await open_tunnel(stream, recorded.target);
          co_return;
        }
      }
      bhttp::response<bhttp::string_body> res{static_cast<bhttp::status>(reply.status),
                                              req.version()};
      for (const auto& h : reply.headers) res.insert(h.name, h.value);
      res.body() = reply.body;
      res.prepare_payload();
      res.keep_alive(req.keep_alive());
      auto [wec, w] = co_await bhttp::async_write(stream, res, use_tuple);
      if (wec || !res.keep_alive()) co_return;
    }
  }

  net::awaitable<void> open_tunnel(beast::tcp_stream& stream, const std::string& authority) {
    const auto colon = authority.rfind(':');
    tcp::resolver resolver(io);
    auto [rec, results] = co_await resolver.async_resolve(authority.substr(0, colon),
                                                          authority.substr(colon + 1), use_tuple);
    tcp::socket upstream(io);
    if (!rec) {
      auto [cec, endpoint] = co_await net::async_connect(upstream, results, use_tuple);
      rec = cec;
    }
    const std::string head = rec ? "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n"
                                 : "HTTP/1.1 200 Connection established\r\n\r\n";
    co_await net::async_write(stream, net::buffer(head), use_tuple);
    if (rec) co_return;
    co_await (relay(stream.socket(), upstream) && relay(upstream, stream.socket()));
  }

  net::awaitable<void> serve(tcp::socket socket) {
    if (!tls) {
      beast::tcp_stream stream(std::move(socket));
      co_await session(stream);
      boost::system::error_code ignored;  // the client may have closed first
      stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
      co_return;
    }
    beast::ssl_stream<beast::tcp_stream> stream(std::move(socket), *tls);
    auto [ec] = co_await stream.async_handshake(ssl::stream_base::server, use_tuple);
    if (ec) co_return;  // a client that rejects our certificate ends here
    const char* name = SSL_get_servername(stream.native_handle(), TLSEXT_NAMETYPE_host_name);
    {
      std::lock_guard lock(mutex);
      server_names.emplace_back(name != nullptr ? name : "");
    }
    co_await session(stream);
  }

  net::awaitable<void> accept_loop() {
    while (true) {
      auto [ec, socket] = co_await acceptor.async_accept(use_tuple);
      if (ec == net::error::operation_aborted) co_return;
      if (ec) continue;
      net::co_spawn(io, serve(std::move(socket)), net::detached);
    }
  }
};

HttpTestServer::HttpTestServer(HttpHandler handler, HttpTestServerOptions options)
    : impl_(std::make_unique<Impl>()) {
  impl_->handler = std::move(handler);
  if (!options.tls_names.empty()) {
    const auto pem = make_test_certificate(options.tls_names);
    impl_->dir.emplace();
    impl_->certificate_file = impl_->dir->path() / "server-cert.pem";
    write_file(impl_->certificate_file, pem.certificate);
    impl_->tls.emplace(ssl::context::tls_server);
    impl_->tls->use_certificate_chain(net::buffer(pem.certificate));
    impl_->tls->use_private_key(net::buffer(pem.private_key), ssl::context::pem);
    if (options.tls_max_version != 0) {
      SSL_CTX* handle = impl_->tls->native_handle();
      SSL_CTX_set_max_proto_version(handle, options.tls_max_version);
      // Older protocols need the weakest security level and an explicit floor to be offered.
      if (options.tls_max_version < TLS1_2_VERSION) {
        SSL_CTX_set_min_proto_version(handle, TLS1_VERSION);
        SSL_CTX_set_security_level(handle, 0);
      }
    }
  }
  const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), 0);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen();
  impl_->port = impl_->acceptor.local_endpoint().port();
  impl_->url =
      (options.tls_names.empty() ? "http://127.0.0.1" : "https://" + options.tls_names.front()) +
      ":" + std::to_string(impl_->port);
  net::co_spawn(impl_->io, impl_->accept_loop(), net::detached);
  impl_->thread = std::thread([impl = impl_.get()] { impl->io.run(); });
}

HttpTestServer::~HttpTestServer() {
  impl_->io.stop();
  impl_->thread.join();
}

std::uint16_t HttpTestServer::port() const { return impl_->port; }

std::string HttpTestServer::url() const { return impl_->url; }

const std::filesystem::path& HttpTestServer::certificate_file() const {
  return impl_->certificate_file;
}

void HttpTestServer::set_handler(HttpHandler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->handler = std::move(handler);
}

std::vector<RecordedRequest> HttpTestServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

std::size_t HttpTestServer::request_count() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests.size();
}

std::vector<std::string> HttpTestServer::tls_server_names() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->server_names;
}

}  // namespace velmora::testing
