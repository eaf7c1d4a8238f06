// Connecting, retrying, closing and reconnecting against a loopback server.
#include "wirelet/client.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/system_error.hpp>

#include "loop_runner.hpp"
#include "test_support.hpp"
#include "velmora/base/errors.hpp"
#include "ws_test_server.hpp"

namespace {

using ::testing::AnyOf;
using ::testing::HasSubstr;
using velmora::base::awaitable;
using wirelet::AgentWsV3Client;
using wirelet::WireletConfig;
using wirelet_test::eventually;
using wirelet_test::run_loop;
using wirelet_test::ServerOptions;
using wirelet_test::WsTestServer;
namespace net = boost::asio;

std::shared_ptr<WireletConfig> config_for(const std::string& base_url, int attempts = 1,
                                          double backoff = 0.01) {
  auto cfg = std::make_shared<WireletConfig>(
      WireletConfig{.base_url = base_url, .user_id = "u1", .user_token = "tok"});
  cfg->reconnect_attempts = attempts;
  cfg->reconnect_backoff_seconds = backoff;
  return cfg;
}

// A loopback port nobody listens on.
unsigned short closed_port() {
  net::io_context io;
  net::ip::tcp::acceptor acceptor(io, {net::ip::make_address("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

// The error `connect` ends with, as (kind, message); ("", "") when it succeeds.
awaitable<std::pair<std::string, std::string>> connect_error(AgentWsV3Client& client) {
  try {
    co_await client.connect();
  } catch (const std::exception& e) {
    co_return std::pair{velmora::base::error_kind_name(e), std::string(e.what())};
  }
  co_return std::pair{std::string(), std::string()};
}

struct RetryCase {
  int attempts;
  double backoff;
  double min_seconds;  // the pauses that must have happened
  double max_seconds;  // generous: only "no pause" cases need a ceiling
};

TEST(Connect, RefusedPortRetriesWithLinearBackoff) {
  const RetryCase cases[] = {
      {3, 0.2, 0.2 + 0.4, 30.0},
      {1, 5.0, 0.0, 4.5},
      {0, 5.0, 0.0, 4.5},
      {-2, 5.0, 0.0, 4.5},
  };
  const std::string url = "ws://127.0.0.1:" + std::to_string(closed_port()) + "/v3";
  for (const auto& c : cases) {
    run_loop(
        [](net::any_io_executor ex, const RetryCase& c, const std::string& url) -> awaitable<void> {
          AgentWsV3Client client(ex, config_for(url, c.attempts, c.backoff));
          const double started = velmora::base::monotonic_seconds();
          const auto [kind, message] = co_await connect_error(client);
          const double elapsed = velmora::base::monotonic_seconds() - started;
          EXPECT_EQ(kind, "OSError");
          EXPECT_EQ(message, "Connection refused");
          EXPECT_GE(elapsed, c.min_seconds) << c.attempts;
          EXPECT_LT(elapsed, c.max_seconds) << c.attempts;
          EXPECT_FALSE(client.is_connected());
        },
        c, url);
  }
}

TEST(Connect, AttemptCountAndRejectedStatus) {
  const std::pair<int, int> cases[] = {{3, 3}, {1, 1}, {0, 1}};
  for (const auto& [attempts, expected_connections] : cases) {
    WsTestServer server({.reject_status = 503});
    run_loop(
        [](net::any_io_executor ex, WsTestServer& server, const int& attempts) -> awaitable<void> {
          AgentWsV3Client client(ex, config_for(server.url(), attempts));
          try {
            co_await client.connect();
            ADD_FAILURE() << "connected";
          } catch (const velmora::base::InvalidStatus& e) {
            EXPECT_STREQ(e.what(), "server rejected WebSocket connection: HTTP 503");
            EXPECT_EQ(e.status_code(), 503);
          }
        },
        server, attempts);
    EXPECT_EQ(server.connections(), expected_connections) << attempts;
  }
}

TEST(Connect, UnauthorisedTokenIsAnInvalidStatus401) {
  WsTestServer server({.reject_status = 401});
  run_loop(
      [](net::any_io_executor ex, WsTestServer& server) -> awaitable<void> {
        AgentWsV3Client client(ex, config_for(server.url()));
        const auto [kind, message] = co_await connect_error(client);
        EXPECT_EQ(kind, "InvalidStatus");
        EXPECT_EQ(message, "server rejected WebSocket connection: HTTP 401");
      },
      server);
}

TEST(Connect, SilentServerTimesOutEachAttempt) {
  WsTestServer server({.stall_handshake = true});
  run_loop(
      [](net::any_io_executor ex, WsTestServer& server) -> awaitable<void> {
        auto cfg = config_for(server.url(), 2);
        cfg->connect_timeout_seconds = 0.2;
        AgentWsV3Client client(ex, cfg);
        const auto [kind, message] = co_await connect_error(client);
        EXPECT_EQ(kind, "TimeoutError");
        EXPECT_EQ(message, "timed out during opening handshake");
      },
      server);
  EXPECT_EQ(server.connections(), 2);
}

awaitable<void> connect_only(AgentWsV3Client& client) { co_await client.connect(); }

TEST(Connect, CancellationEndsItAtOnce) {
  WsTestServer server({.stall_handshake = true});
  run_loop(
      [](net::any_io_executor ex, WsTestServer& server) -> awaitable<void> {
        auto cfg = config_for(server.url(), 3, 30);
        cfg->connect_timeout_seconds = 60;
        AgentWsV3Client client(ex, cfg);
        auto task = velmora::base::Task::spawn(ex, connect_only(client));
        EXPECT_TRUE(co_await eventually([&] { return server.connections() == 1; }));
        const double started = velmora::base::monotonic_seconds();
        task.cancel();
        co_await task.join();
        EXPECT_TRUE(task.cancelled());
        EXPECT_LT(velmora::base::monotonic_seconds() - started, 10.0);
        EXPECT_FALSE(client.is_connected());
      },
      server);
}

TEST(Connect, AClientDestroyedMidConnectLeavesNoConnectionBehind) {
  WsTestServer server;
  run_loop(
      [](net::any_io_executor ex, WsTestServer& server) -> awaitable<void> {
        auto client = std::make_unique<AgentWsV3Client>(ex, config_for(server.url()));
        auto task = velmora::base::Task::spawn(ex, client->connect());
        client.reset();  // the owner lets go while the connect is under way
        co_await task.join();
        EXPECT_TRUE(task.error());
        // The server saw the connection open and then end.
        EXPECT_TRUE(co_await eventually([&] { return server.finished() == 1; }));
      },
      server);
  EXPECT_EQ(server.connections(), 1);
}

TEST(Connect, UnknownHostKeepsTheResolverText) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    AgentWsV3Client client(ex, config_for("ws://no-such-host.invalid/v3"));
    const auto [kind, message] = co_await connect_error(client);
    EXPECT_EQ(kind, "OSError");
    EXPECT_THAT(message, AnyOf("Name or service not known", "Temporary failure in name resolution",
                               "No address associated with hostname"));
  });
}

TEST(Connect, UnusableUrlFailsWithoutRetrying) {
  run_loop([](net::any_io_executor ex) -> awaitable<void> {
    AgentWsV3Client client(ex, config_for("http://h/v3", 3, 30));
    const auto [kind, message] = co_await connect_error(client);
    EXPECT_EQ(kind, "RuntimeError");
    EXPECT_EQ(message, "invalid websocket URL: scheme isn't ws or wss");
  });
}

TEST(Lifecycle, ConnectTwiceCloseTwiceThenConnectAgain) {
  WsTestServer server;
  run_loop(
      [](net::any_io_executor ex, WsTestServer& server) -> awaitable<void> {
        AgentWsV3Client client(ex, config_for(server.url()));
        co_await client.connect();
        co_await client.connect();
        EXPECT_TRUE(client.is_connected());
        EXPECT_TRUE(client.receiving());
        co_await client.close();
        co_await client.close();
        EXPECT_FALSE(client.is_connected());
        EXPECT_FALSE(client.receiving());
        EXPECT_TRUE(co_await eventually([&] { return server.finished() == 1; }));
        co_await client.connect();
        EXPECT_TRUE(client.is_connected());
        co_await client.close(false);
        // The server records the close code after its reply has let the close complete.
        EXPECT_TRUE(co_await eventually([&] { return server.finished() == 2; }));
      },
      server);
  EXPECT_EQ(server.connections(), 2);
  // One terminate: the second close did nothing, the last close was asked not to send one.
  EXPECT_EQ(server.received(), std::vector<std::string>{R"({"type": "terminate"})"});
  EXPECT_EQ(server.close_codes(), (std::vector<int>{1000, 1000}));
}

TEST(Lifecycle, ReconnectRebindsTheThread) {
  WsTestServer server;
  run_loop(
      [](net::any_io_executor ex, WsTestServer& server) -> awaitable<void> {
        auto cfg = config_for(server.url());
        cfg->thread_id = "first";
        AgentWsV3Client client(ex, cfg);
        co_await client.connect();

        co_await client.reconnect(false, "t9");
        EXPECT_TRUE(cfg->explicit_thread_id);
        EXPECT_EQ(client.requested_thread_id(), "t9");

        co_await client.reconnect(true);
        const std::string fresh = client.thread_id();
        EXPECT_EQ(fresh.size(), 36u);
        EXPECT_FALSE(cfg->explicit_thread_id);
        EXPECT_EQ(client.requested_thread_id(), fresh);

        co_await client.reconnect(true, "t7");
        EXPECT_EQ(client.thread_id(), "t7");
        EXPECT_TRUE(cfg->explicit_thread_id);

        co_await client.reconnect();
        EXPECT_EQ(client.thread_id(), "t7");
        co_await client.close(false);

        auto targets = server.targets();
        EXPECT_EQ(targets.size(), 5u);
        targets.resize(5);
        EXPECT_EQ(targets[0], "/v3?userToken=tok&thread_id=first&user_id=u1");
        EXPECT_EQ(targets[1], "/v3?userToken=tok&thread_id=t9&user_id=u1");
        EXPECT_EQ(targets[2], "/v3?userToken=tok&thread_id=" + fresh + "&user_id=u1");
        EXPECT_EQ(targets[3], "/v3?userToken=tok&thread_id=t7&user_id=u1");
        EXPECT_EQ(targets[4], "/v3?userToken=tok&thread_id=t7&user_id=u1");
      },
      server);
  // Reconnecting leaves the server session open: no terminate was ever sent.
  EXPECT_TRUE(server.received().empty());
}

TEST(Lifecycle, ReconnectToAnEmptyThreadLeavesNoThreadToWaitFor) {
  WsTestServer server;
  run_loop(
      [](net::any_io_executor ex, WsTestServer& server) -> awaitable<void> {
        AgentWsV3Client client(ex, config_for(server.url()));
        co_await client.connect();
        co_await client.reconnect(false, "");
        try {
          (void)co_await client.wait_for_thread_id(5);
          ADD_FAILURE() << "no error";
        } catch (const velmora::base::RuntimeError& e) {
          EXPECT_STREQ(e.what(), "thread_id is still unavailable");
        }
        co_await client.close();
      },
      server);
}

awaitable<void> drop_at_once(wirelet_test::Peer& peer) {
  peer.drop();
  co_return;
}

awaitable<void> reset_at_once(wirelet_test::Peer& peer) {
  peer.reset();
  co_return;
}

TEST(Lifecycle, ClosingATransportThePeerDroppedIsANormalClose) {
  for (auto handler : {&drop_at_once, &reset_at_once}) {
    WsTestServer server({}, handler);
    run_loop(
        [](net::any_io_executor ex, WsTestServer& server) -> awaitable<void> {
          AgentWsV3Client client(ex, config_for(server.url()));
          co_await client.connect();
          const auto end = co_await client.incoming_queue().pop();
          EXPECT_EQ(end.message.at("type"), "_connection_error");
          EXPECT_EQ(end.origin, wirelet::Origin::client);
          // The receive task has ended; terminate cannot go out and close must not throw.
          co_await client.close();
          EXPECT_FALSE(client.is_connected());
          EXPECT_TRUE(client.incoming_queue().empty());
        },
        server);
  }
}

TEST(Lifecycle, ClosingAfterTheServerClosedIsANormalClose) {
  WsTestServer server({}, [](wirelet_test::Peer& peer) {
    return wirelet_test::send_then_close(peer, {R"({"type": "complete"})"});
  });
  run_loop(
      [](net::any_io_executor ex, WsTestServer& server) -> awaitable<void> {
        AgentWsV3Client client(ex, config_for(server.url()));
        co_await client.connect();
        const wirelet::Message done = (co_await client.incoming_queue().pop()).message;
        EXPECT_EQ(done.at("type"), "complete");
        EXPECT_TRUE(co_await eventually([&] { return !client.receiving(); }));
        // The normal close reaches the consumer as the client's own last message.
        const wirelet::Incoming end = co_await client.incoming_queue().pop();
        EXPECT_EQ(end.origin, wirelet::Origin::client);
        EXPECT_EQ(end.message.at("error_message"), "server closed the connection");
        co_await client.close();
        EXPECT_TRUE(client.incoming_queue().empty());
      },
      server);
}

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.unset("SSL_CERT_DIR");
    env_.unset("SSL_CERT_FILE");
  }
  // Makes the system store trust only `cert` for the rest of the test.
  void trust(const wirelet_test::SelfSignedCert& cert) {
    const auto path = dir_.path() / "trusted.pem";
    velmora::testing::write_file(path, cert.cert_pem);
    env_.set("SSL_CERT_FILE", path.string());
    env_.set("SSL_CERT_DIR", dir_.path().string());
  }

  velmora::testing::ScopedEnv env_;
  velmora::testing::TempDir dir_;
};

awaitable<void> expect_refused(net::any_io_executor ex, std::string url, std::string message) {
  AgentWsV3Client client(ex, config_for(url));
  const auto [kind, text] = co_await connect_error(client);
  EXPECT_EQ(kind, "OSError");
  EXPECT_EQ(text, message);
}

TEST_F(TlsTest, UntrustedCertificateIsRefused) {
  const auto cert = wirelet_test::make_self_signed_cert("DNS:localhost,IP:127.0.0.1");
  WsTestServer server({.tls = cert});
  const std::string url = server.url();
  const std::string message = "[SSL] certificate verify failed: self-signed certificate";
  run_loop(expect_refused, url, message);
  EXPECT_THAT(message, HasSubstr("certificate"));
}

TEST_F(TlsTest, TrustedCertificateConnectsAndNamesAreChecked) {
  const auto cert = wirelet_test::make_self_signed_cert("DNS:localhost,IP:127.0.0.1");
  trust(cert);
  WsTestServer server({.tls = cert});
  run_loop(
      [](net::any_io_executor ex, WsTestServer& server) -> awaitable<void> {
        const std::string port = std::to_string(server.port());
        for (const std::string host : {"127.0.0.1", "localhost"}) {
          AgentWsV3Client client(ex, config_for("wss://" + host + ":" + port + "/v3"));
          co_await client.connect();
          co_await client.send_interrupt();
          co_await client.close();
        }
      },
      server);
  EXPECT_EQ(server.received().size(), 4u);

  const auto other = wirelet_test::make_self_signed_cert("DNS:other.example");
  trust(other);
  WsTestServer wrong_name({.tls = other});
  const std::string port = std::to_string(wrong_name.port());
  std::string url = "wss://127.0.0.1:" + port + "/v3";
  std::string message = "[SSL] certificate verify failed: IP address mismatch";
  run_loop(expect_refused, url, message);
  url = "wss://localhost:" + port + "/v3";
  message = "[SSL] certificate verify failed: hostname mismatch";
  run_loop(expect_refused, url, message);
}

// Only a machine without an IPv6 loopback skips the test; any other failure to listen on ::1
// is a fault.
bool lacks_ipv6_loopback(const boost::system::error_code& ec) {
  return ec == boost::system::errc::address_not_available ||
         ec == boost::system::errc::address_family_not_supported;
}

TEST(Ipv6, OnlyAMissingLoopbackSkips) {
  namespace errc = boost::system::errc;
  EXPECT_TRUE(lacks_ipv6_loopback(errc::make_error_code(errc::address_not_available)));
  EXPECT_TRUE(lacks_ipv6_loopback(errc::make_error_code(errc::address_family_not_supported)));
  EXPECT_FALSE(lacks_ipv6_loopback(errc::make_error_code(errc::address_in_use)));
  EXPECT_FALSE(lacks_ipv6_loopback(errc::make_error_code(errc::permission_denied)));
}

TEST(Ipv6, LiteralAddressesWork) {
  std::unique_ptr<WsTestServer> server;
  try {
    server = std::make_unique<WsTestServer>(ServerOptions{.bind_address = "::1"});
  } catch (const boost::system::system_error& e) {
    if (!lacks_ipv6_loopback(e.code())) throw;
    GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
  }
  run_loop(
      [](net::any_io_executor ex, WsTestServer& server) -> awaitable<void> {
        AgentWsV3Client client(ex, config_for(server.url()));
        co_await client.connect();
        co_await client.send_interrupt();
        co_await client.close(false);
      },
      *server);
  EXPECT_EQ(server->received(), std::vector<std::string>{R"({"type": "interrupt"})"});
}

}  // namespace
