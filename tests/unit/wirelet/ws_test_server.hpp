// A websocket server on loopback for the client tests, running on its own thread.
//
// Every accepted connection runs the handler (on the server thread) with a `Peer` to send,
// receive, close or break the connection. What clients send is recorded for the test thread.
//
//   WsTestServer server({}, [](Peer& peer) { return send_then_close(peer, {"{\"type\": \"x\"}"});
//   }); cfg->base_url = server.url("/v3");
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/base/async.hpp"

namespace wirelet_test {

template <class T>
using awaitable = velmora::base::awaitable<T>;

struct SelfSignedCert {
  std::string cert_pem;
  std::string key_pem;
};

/// A throw-away certificate for `subject_alt_names` ("DNS:localhost,IP:127.0.0.1").
SelfSignedCert make_self_signed_cert(const std::string& subject_alt_names);

/// One accepted websocket; used only by a handler, on the server thread.
class Peer {
 public:
  virtual ~Peer() = default;
  virtual awaitable<void> send_text(std::string text) = 0;
  virtual awaitable<void> send_binary(std::string bytes) = 0;
  /// The client's next text (also recorded); nothing once the client closed or the link broke.
  virtual awaitable<std::optional<std::string>> receive() = 0;
  /// The closing handshake with `code`.
  virtual awaitable<void> close(int code = 1000, std::string reason = {}) = 0;
  /// Ends the TCP connection with a reset and no close frame.
  virtual void reset() = 0;
  /// Ends the TCP connection without a close frame.
  virtual void drop() = 0;
};

using Handler = std::function<awaitable<void>(Peer&)>;

/// Receives until the client leaves (the default handler).
awaitable<void> receive_until_closed(Peer& peer);
/// Sends every text, then runs the closing handshake with `code`.
awaitable<void> send_then_close(Peer& peer, std::vector<std::string> texts, int code = 1000);

struct ServerOptions {
  std::string bind_address = "127.0.0.1";
  std::optional<SelfSignedCert> tls;
  /// The newest TLS version the server speaks (TLS1_1_VERSION, ...); 0: the library's.
  int tls_max_version = 0;
  /// Answers every handshake with this HTTP status instead of 101 (0: accept).
  int reject_status = 0;
  /// Accepts TCP connections but never answers the handshake.
  bool stall_handshake = false;
  bool deflate = false;
};

class WsTestServer {
 public:
  explicit WsTestServer(ServerOptions options = {}, Handler handler = {});
  ~WsTestServer();
  WsTestServer(const WsTestServer&) = delete;
  WsTestServer& operator=(const WsTestServer&) = delete;

  [[nodiscard]] unsigned short port() const;
  /// "ws://<address>:<port><path>" ("wss" with TLS; IPv6 addresses in brackets).
  [[nodiscard]] std::string url(const std::string& path = "/v3") const;

  [[nodiscard]] int connections() const;
  /// Request targets of the handshakes, in order.
  [[nodiscard]] std::vector<std::string> targets() const;
  /// The server name each TLS client sent (SNI), "" for none, in handshake order.
  [[nodiscard]] std::vector<std::string> tls_server_names() const;
  /// Text frames received from clients, all connections in order.
  [[nodiscard]] std::vector<std::string> received() const;
  /// Close codes clients sent in their closing handshakes.
  [[nodiscard]] std::vector<int> close_codes() const;
  /// Handlers that returned.
  [[nodiscard]] int finished() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

/// Runs `until` on the test loop every few milliseconds until it holds or `limit` seconds pass.
awaitable<bool> eventually(std::function<bool()> until, double limit = 10.0);

}  // namespace wirelet_test
