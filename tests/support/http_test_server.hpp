// A loopback HTTP(S) server for tests: a handler callback answers each request, and every
// request is recorded (method, target, headers in the order received, body).
//
// The server runs on its own thread; the handler is called there, one request at a time. It can
// also serve HTTPS with a fresh self-signed certificate (point SSL_CERT_FILE at
// `certificate_file()` so clients trust it) and act as a tunnelling proxy (answer CONNECT with
// `tunnel`).
//
//   velmora::testing::HttpTestServer server([](const velmora::testing::RecordedRequest& req) {
//     return velmora::testing::HttpReply{.status = 200, .body = R"({"relative_path": "a"})"};
//   });
//   ... client posts to server.url() + "/api/v2/upload_attachment" ...
//   EXPECT_EQ(server.requests().at(0).header("x-user-id"), "u1");
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::testing {

struct HttpHeader {
  std::string name;
  std::string value;
};

struct RecordedRequest {
  std::string method;
  /// As sent: origin form ("/path?q"), absolute form (through a proxy) or host:port (CONNECT).
  std::string target;
  /// In the order received, names as sent.
  std::vector<HttpHeader> headers;
  std::string body;

  /// First header of that name (case-insensitive), or nothing.
  [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
  [[nodiscard]] std::vector<std::string> header_names() const;
};

struct HttpReply {
  int status = 200;
  std::vector<HttpHeader> headers;
  std::string body;
  /// Waits this long before answering (cut short when the server stops).
  double delay_seconds = 0;
  /// Bytes written instead of a formatted answer, then the connection is closed.
  std::optional<std::string> raw;
  /// Closes the connection without answering.
  bool drop = false;
  /// For CONNECT: answers 200 and relays bytes to the requested host:port.
  bool tunnel = false;
};

struct TestCertificate {
  std::string certificate;  ///< PEM
  std::string private_key;  ///< PEM
};

/// A fresh self-signed certificate (P-256) for `names` (host names or IP addresses) that is also
/// its own trust anchor: give it to clients as their CA (SSL_CERT_FILE).
[[nodiscard]] TestCertificate make_test_certificate(const std::vector<std::string>& names);

/// A reply with a JSON body and its content type.
[[nodiscard]] HttpReply json_reply(int status, std::string body);

using HttpHandler = std::function<HttpReply(const RecordedRequest&)>;

struct HttpTestServerOptions {
  /// Serve HTTPS with a self-signed certificate naming these hosts (DNS names or IP
  /// addresses); empty: plain HTTP.
  std::vector<std::string> tls_names;
  /// The newest TLS version the server speaks (TLS1_1_VERSION, ...); 0: the library's.
  int tls_max_version = 0;
};

class HttpTestServer {
 public:
  explicit HttpTestServer(HttpHandler handler, HttpTestServerOptions options = {});
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  /// Port on 127.0.0.1.
  [[nodiscard]] std::uint16_t port() const;
  /// "http://127.0.0.1:<port>", or "https://<first TLS name>:<port>".
  [[nodiscard]] std::string url() const;
  /// PEM certificate of the HTTPS server (empty path for plain HTTP).
  [[nodiscard]] const std::filesystem::path& certificate_file() const;

  void set_handler(HttpHandler handler);
  /// Copies of the requests received so far.
  [[nodiscard]] std::vector<RecordedRequest> requests() const;
  [[nodiscard]] std::size_t request_count() const;
  /// The server name each TLS client sent (SNI), "" for none, in handshake order.
  [[nodiscard]] std::vector<std::string> tls_server_names() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora::testing
