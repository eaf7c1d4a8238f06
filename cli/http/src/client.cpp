// The only translation unit of the HTTP client that includes Beast.
#include "velmora/http/client.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <unistd.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/url/parse.hpp>

#include "request_bytes.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/base/strings.hpp"
#include "velmora/http/proxy.hpp"
#include "velmora/tls/client_tls.hpp"

namespace velmora::http {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = beast::http;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;
using base::iequals;
using detail::body_size;
using detail::OpenedFiles;
using detail::RequestBytes;

constexpr auto use_tuple = net::as_tuple(net::use_awaitable);
constexpr std::uint64_t MAX_BODY_BYTES = 256ULL * 1024 * 1024;
constexpr std::uint32_t MAX_HEADER_BYTES = 64 * 1024;
constexpr std::size_t READ_CHUNK_BYTES = 64 * 1024;
/// The most of a request body held in memory at once, and the size of each write.
constexpr std::size_t WRITE_CHUNK_BYTES = 256 * 1024;

struct Target {
  bool https = false;
  std::string host;  ///< without IPv6 brackets
  std::uint16_t port = 0;
  std::string host_header;
  std::string origin_form;
  std::string absolute_form;
};

Target parse_target(const std::string& url) {
  const auto invalid = [&](const std::string& why) -> Target {
    throw velmora::base::RuntimeError("Invalid URL '" + url + "': " + why);
  };
  const auto parsed = boost::urls::parse_uri(url);
  if (!parsed) {
    return invalid(url.find("://") == std::string::npos ? "expected an http:// or https:// address"
                                                        : "malformed address");
  }
  const auto& u = *parsed;
  Target t;
  const std::string scheme = u.scheme();
  if (iequals(scheme, "https")) {
    t.https = true;
  } else if (!iequals(scheme, "http")) {
    return invalid("only http and https are supported");
  }
  t.host = u.host_address();
  if (t.host.empty()) return invalid("no host");
  const std::uint16_t default_port = t.https ? 443 : 80;
  t.port = default_port;
  if (u.has_port() && !u.port().empty()) {
    if (u.port_number() == 0) return invalid("bad port");
    t.port = u.port_number();
  }
  const std::string bracketed = u.host_type() == boost::urls::host_type::ipv6
                                    ? "[" + t.host + "]"
                                    : std::string(u.encoded_host());
  t.host_header = t.port == default_port ? bracketed : bracketed + ":" + std::to_string(t.port);
  t.origin_form = u.encoded_path().empty() ? "/" : std::string(u.encoded_path());
  if (u.has_query()) t.origin_form += "?" + std::string(u.encoded_query());
  t.absolute_form = (t.https ? "https://" : "http://") + t.host_header + t.origin_form;
  return t;
}

void check_header(const Header& header) {
  const auto bad = [](char c) { return c == '\r' || c == '\n' || c == '\0'; };
  if (header.name.empty() || std::any_of(header.name.begin(), header.name.end(), bad) ||
      header.name.find_first_of(" :\t") != std::string::npos) {
    throw velmora::base::RuntimeError("Invalid HTTP header name: '" + header.name + "'");
  }
  // A CR or LF in a value would end the header early and let the rest pose as new headers.
  if (std::any_of(header.value.begin(), header.value.end(), bad)) {
    throw velmora::base::RuntimeError("Invalid HTTP header value for " + header.name);
  }
}

[[noreturn]] void fail(const error_code& ec) {
  if (ec == beast::error::timeout || ec == net::error::timed_out) {
    throw velmora::base::TimeoutError("timed out");
  }
  if (ec == bhttp::error::end_of_stream) {
    throw velmora::base::OSError("Remote end closed connection without response");
  }
  if (ec == bhttp::error::partial_message) {
    throw velmora::base::OSError("Connection closed before the whole response arrived");
  }
  if (ec.category() == bhttp::make_error_code(bhttp::error::body_limit).category()) {
    throw velmora::base::OSError("Invalid HTTP response: " + ec.message());
  }
  throw velmora::base::OSError(ec.message(), ec.value());
}

struct Exchange {
  const Request& request;
  const Target& target;
  const std::optional<ProxyServer>& proxy;
  Clock::duration limit;
  /// For each of request.body_parts: the descriptor of a file part, -1 for bytes.
  std::vector<int> part_fds;
  Stage stage = Stage::connect;
};

template <class Stream>
beast::tcp_stream& lowest(Stream& s) {
  return beast::get_lowest_layer(s);
}

// getaddrinfo cannot be cancelled, and Asio's resolver joins its thread on shutdown, so a
// stuck name server would outlast the time limit. The look-up runs on a thread of its own that
// is left behind when the deadline passes.
std::vector<tcp::endpoint> resolve(const std::string& host, std::uint16_t port,
                                   Clock::time_point deadline) {
  struct Lookup {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    int rc = 0;
    int system_errno = 0;
    std::vector<tcp::endpoint> endpoints;
  };
  auto lookup = std::make_shared<Lookup>();
  std::thread([lookup, host, service = std::to_string(port)] {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    const int system_errno = errno;
    std::vector<tcp::endpoint> endpoints;
    for (const addrinfo* ai = list; rc == 0 && ai != nullptr; ai = ai->ai_next) {
      if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
      tcp::endpoint endpoint;
      std::memcpy(endpoint.data(), ai->ai_addr, ai->ai_addrlen);
      endpoint.resize(ai->ai_addrlen);
      endpoints.push_back(endpoint);
    }
    if (list != nullptr) ::freeaddrinfo(list);
    std::lock_guard lock(lookup->mutex);
    lookup->rc = rc;
    lookup->system_errno = system_errno;
    lookup->endpoints = std::move(endpoints);
    lookup->done = true;
    lookup->done_cv.notify_all();
  }).detach();

  std::unique_lock lock(lookup->mutex);
  if (!lookup->done_cv.wait_until(lock, deadline, [&] { return lookup->done; })) {
    fail(beast::error::timeout);
  }
  if (lookup->rc == EAI_SYSTEM) {
    throw velmora::base::OSError(std::strerror(lookup->system_errno), lookup->system_errno);
  }
  if (lookup->rc != 0) throw velmora::base::OSError(::gai_strerror(lookup->rc), lookup->rc);
  if (lookup->endpoints.empty()) throw velmora::base::OSError("No address found for " + host);
  return std::move(lookup->endpoints);
}

// Resolves and connects within the connect deadline, trying each address in turn.
net::awaitable<void> open_tcp(beast::tcp_stream& stream, const std::string& host,
                              std::uint16_t port, Clock::time_point deadline) {
  const auto endpoints = resolve(host, port, deadline);
  stream.expires_at(deadline);
  auto [ec, endpoint] = co_await stream.async_connect(endpoints, use_tuple);
  if (ec) fail(ec);
}

// Asks an http proxy for a tunnel to the target (CONNECT host:port).
net::awaitable<void> open_tunnel(beast::tcp_stream& stream, const Exchange& x,
                                 Clock::time_point deadline) {
  const std::string authority =
      (x.target.host.find(':') != std::string::npos ? "[" + x.target.host + "]" : x.target.host) +
      ":" + std::to_string(x.target.port);
  bhttp::request<bhttp::empty_body> req{bhttp::verb::connect, authority, 11};
  req.set(bhttp::field::host, authority);
  if (!x.proxy->authorization.empty()) {
    req.set(bhttp::field::proxy_authorization, x.proxy->authorization);
  }
  stream.expires_at(deadline);
  auto [wec, written] = co_await bhttp::async_write(stream, req, use_tuple);
  if (wec) fail(wec);
  beast::flat_buffer buffer;
  bhttp::response_parser<bhttp::empty_body> parser;
  parser.skip(true);  // a tunnel answer has no body; what follows belongs to the target
  auto [rec, read] = co_await bhttp::async_read(stream, buffer, parser, use_tuple);
  if (rec) fail(rec);
  const auto& res = parser.get();
  if (res.result_int() < 200 || res.result_int() >= 300) {
    throw velmora::base::OSError("Tunnel connection failed: " + std::to_string(res.result_int()) +
                                 " " + std::string(res.reason()));
  }
}

[[noreturn]] void fail_handshake(const error_code& ec, SSL* handle) {
  if (ec == beast::error::timeout) fail(ec);
  if (const long verify = SSL_get_verify_result(handle);
      verify != X509_V_OK && ec.category() == net::error::get_ssl_category()) {
    throw velmora::base::OSError(
        std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify),
        ec.value());
  }
  if (ec == net::error::eof || ec == ssl::error::stream_truncated) {
    throw velmora::base::OSError("Connection closed during the TLS handshake", ec.value());
  }
  fail(ec);
}

// The head as Beast formats it (Content-Length only where a body calls for one).
std::string format_head(const Exchange& x) {
  const bool via_proxy = x.proxy && !x.target.https;
  using Body = bhttp::span_body<const char>;
  bhttp::request<Body> req;
  req.method_string(x.request.method);
  req.target(via_proxy ? x.target.absolute_form : x.target.origin_form);
  req.version(11);
  req.set(bhttp::field::host, x.target.host_header);
  bool has_agent = false;
  for (const auto& h : x.request.headers) {
    req.insert(h.name, h.value);
    has_agent = has_agent || iequals(h.name, "User-Agent");
  }
  if (!has_agent) req.set(bhttp::field::user_agent, USER_AGENT);
  if (via_proxy && !x.proxy->authorization.empty()) {
    req.set(bhttp::field::proxy_authorization, x.proxy->authorization);
  }
  req.set(bhttp::field::connection, "close");
  req.body() = Body::value_type(x.request.body.data(), x.request.body.size());
  req.prepare_payload();
  if (!x.request.body_parts.empty()) req.content_length(body_size(x.request));

  bhttp::request_serializer<Body> serializer(req);
  serializer.split(true);
  std::string head;
  error_code ec;
  while (!serializer.is_header_done()) {
    serializer.next(ec, [&](error_code&, const auto& buffers) {
      for (const auto buffer : beast::buffers_range_ref(buffers)) {
        head.append(static_cast<const char*>(buffer.data()), buffer.size());
      }
      serializer.consume(beast::buffer_bytes(buffers));
    });
    if (ec) fail(ec);
  }
  return head;
}

// Head and body go out in chunks of at most WRITE_CHUNK_BYTES, each write with its own limit:
// an upload of any size keeps one chunk in memory and never times out while it progresses.
// A socket that failed a write is returned as its error code (a server may have answered
// early); a file that cannot be read as it was announced throws.
template <class Stream>
net::awaitable<error_code> write_request(Stream& stream, Exchange& x) {
  std::string head = format_head(x);
  const std::uint64_t total = head.size() + body_size(x.request);
  RequestBytes bytes(std::move(head), x.request, x.part_fds);
  x.stage = Stage::send;
  std::vector<char> chunk(
      static_cast<std::size_t>(std::min<std::uint64_t>(total, WRITE_CHUNK_BYTES)));
  while (const std::size_t n = bytes.fill(chunk.data(), chunk.size())) {
    lowest(stream).expires_after(x.limit);
    auto [ec, written] = co_await net::async_write(stream, net::buffer(chunk.data(), n), use_tuple);
    if (ec) co_return ec;
  }
  co_return error_code{};
}

template <class Stream>
net::awaitable<Response> read_response(Stream& stream, Exchange& x) {
  x.stage = Stage::receive;
  beast::flat_buffer buffer;
  // Each read asks for what fits; an empty flat_buffer would read 512 bytes at a time.
  buffer.reserve(READ_CHUNK_BYTES);
  std::optional<bhttp::response_parser<bhttp::string_body>> parser;
  while (true) {
    parser.emplace();
    parser->body_limit(MAX_BODY_BYTES);
    parser->header_limit(MAX_HEADER_BYTES);
    if (iequals(x.request.method, "HEAD")) parser->skip(true);
    while (!parser->is_done()) {
      // The limit is per read, so a large answer that keeps arriving never times out.
      lowest(stream).expires_after(x.limit);
      auto [ec, n] = co_await bhttp::async_read_some(stream, buffer, *parser, use_tuple);
      if (ec == ssl::error::stream_truncated) {
        // Many servers close TLS without close_notify; for a body that ends at the close
        // that is the normal end.
        if (!parser->got_some()) fail(bhttp::error::end_of_stream);
        error_code eof;
        parser->put_eof(eof);
        if (eof) fail(eof);
        break;
      }
      if (ec) fail(ec);
    }
    const int status = parser->get().result_int();
    // Interim answers (100 Continue and friends) precede the real one.
    if (status >= 100 && status < 200 && status != 101) continue;
    break;
  }
  auto message = parser->release();
  Response res;
  res.status = message.result_int();
  res.reason = std::string(message.reason());
  for (const auto& field : message) {
    res.headers.push_back({std::string(field.name_string()), std::string(field.value())});
  }
  res.body = std::move(message.body());
  co_return res;
}

// A server that refuses a body (413 for a file too large) may answer and close before it has
// read the rest, which breaks the write; its answer is a better report than the broken pipe.
template <class Stream>
net::awaitable<Response> write_and_read(Stream& stream, Exchange& x) {
  const error_code write_error = co_await write_request(stream, x);
  if (!write_error) co_return co_await read_response(stream, x);
  if (write_error != net::error::broken_pipe && write_error != net::error::connection_reset) {
    fail(write_error);
  }
  std::optional<Response> early;
  try {
    early = co_await read_response(stream, x);
  } catch (const velmora::base::Error&) {
    // No answer came before the close: the write's failure is what happened.
  }
  // Only a refusal can stand for a request that was not sent whole.
  if (!early || early->is_success()) {
    x.stage = Stage::send;
    fail(write_error);
  }
  co_return std::move(*early);
}

net::awaitable<Response> run_exchange(Exchange& x) {
  auto ex = co_await net::this_coro::executor;
  const auto deadline = Clock::now() + x.limit;
  beast::tcp_stream tcp(ex);
  if (x.proxy) {
    co_await open_tcp(tcp, x.proxy->host, x.proxy->port, deadline);
    if (x.target.https) co_await open_tunnel(tcp, x, deadline);
  } else {
    co_await open_tcp(tcp, x.target.host, x.target.port, deadline);
  }
  if (!x.target.https) co_return co_await write_and_read(tcp, x);

  const auto context = tls::make_client_context();
  beast::ssl_stream<beast::tcp_stream> stream(std::move(tcp), *context);
  tls::prepare_client(stream.native_handle(), x.target.host);
  lowest(stream).expires_at(deadline);
  auto [hec] = co_await stream.async_handshake(ssl::stream_base::client, use_tuple);
  if (hec) fail_handshake(hec, stream.native_handle());
  // No TLS shutdown: the request asked for the connection to close.
  co_return co_await write_and_read(stream, x);
}

std::chrono::steady_clock::duration to_duration(double seconds) {
  if (!(seconds > 0)) seconds = 0;
  seconds = std::min(seconds, 1e7);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

std::optional<std::string> Response::header(std::string_view name) const {
  for (const auto& h : headers) {
    if (iequals(h.name, name)) return h.value;
  }
  return std::nullopt;
}

Outcome exchange(const Request& request) {
  const Target target = parse_target(request.url);
  if (request.method.empty() || request.method.find_first_of(" \t\r\n") != std::string::npos) {
    throw velmora::base::RuntimeError("Invalid HTTP method: '" + request.method + "'");
  }
  for (const auto& header : request.headers) check_header(header);
  const auto proxy = select_proxy(target.https ? "https" : "http", target.host, target.port,
                                  proxy_settings_from_env());

  // Files named by path are opened before connecting: a missing one is the caller's error.
  OpenedFiles opened;
  std::vector<int> part_fds;
  for (const auto& part : request.body_parts) {
    const auto* region = std::get_if<FileRegion>(&part);
    part_fds.push_back(region == nullptr ? -1
                       : region->fd >= 0 ? region->fd
                                         : opened.open(region->path));
  }

  net::io_context io;
  Exchange x{request, target, proxy, to_duration(request.timeout_seconds), std::move(part_fds)};
  std::optional<Response> response;
  std::exception_ptr error;
  net::co_spawn(io, run_exchange(x), [&](std::exception_ptr e, Response r) {
    if (e) {
      error = e;
    } else {
      response = std::move(r);
    }
  });
  io.run();
  if (response) return std::move(*response);
  try {
    std::rethrow_exception(error);
  } catch (const velmora::base::OSError&) {
    return TransportFailure{x.stage, error};
  } catch (const velmora::base::TimeoutError&) {
    return TransportFailure{x.stage, error};
  }
}

Response send(const Request& request) {
  auto outcome = exchange(request);
  if (auto* failure = std::get_if<TransportFailure>(&outcome)) {
    std::rethrow_exception(failure->error);
  }
  return std::move(std::get<Response>(outcome));
}

}  // namespace velmora::http
