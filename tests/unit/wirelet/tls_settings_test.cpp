// The TLS settings wss:// shares with https:// (velmora/tls/client_tls.hpp), each against a
// loopback server: where trust comes from, the TLS 1.2 floor, server name indication, and the
// names a certificate must carry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include "loop_runner.hpp"
#include "test_support.hpp"
#include "tls_fixtures.hpp"
#include "velmora/base/errors.hpp"
#include "wirelet/client.hpp"
#include "ws_test_server.hpp"

namespace {

using velmora::testing::test_host;
using wirelet::AgentWsV3Client;
using wirelet_test::make_self_signed_cert;
using wirelet_test::run_loop;
using wirelet_test::SelfSignedCert;
using wirelet_test::WsTestServer;
namespace net = boost::asio;

class WssSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.unset("SSL_CERT_FILE");
    env_.unset("SSL_CERT_DIR");
  }

  void trust_file(const SelfSignedCert& cert) {
    velmora::testing::write_file(dir_.path() / "bundle.pem", cert.cert_pem);
    env_.set("SSL_CERT_FILE", (dir_.path() / "bundle.pem").string());
  }

  // The error of one connection attempt to `url`; empty when it connected.
  static std::string connect_error(const std::string& url) {
    std::string error;
    run_loop(
        [](net::any_io_executor ex, const std::string& url,
           std::string& error) -> velmora::base::awaitable<void> {
          auto cfg = std::make_shared<wirelet::WireletConfig>(
              wirelet::WireletConfig{.base_url = url, .user_id = "u1", .user_token = "tok"});
          cfg->reconnect_attempts = 1;
          AgentWsV3Client client(ex, cfg);
          try {
            co_await client.connect();
            co_await client.close();
          } catch (const std::exception& e) {
            error = velmora::base::error_kind_name(e) + ": " + e.what();
          }
        },
        url, error);
    return error;
  }

  static std::string url_for(const WsTestServer& server, const std::string& host) {
    return "wss://" + host + ":" + std::to_string(server.port()) + "/v3";
  }

  velmora::testing::ScopedEnv env_;
  velmora::testing::TempDir dir_;
};

TEST_F(WssSettings, TrustComesFromSslCertFileOrSslCertDirAndNoStoreIsAClearError) {
  const auto cert = make_self_signed_cert("DNS:localhost");
  WsTestServer server({.tls = cert});
  const std::string url = url_for(server, "localhost");

  trust_file(cert);
  EXPECT_EQ(connect_error(url), "");

  env_.unset("SSL_CERT_FILE");
  velmora::testing::TempDir hashed;
  velmora::testing::write_hashed_certificate(hashed.path(), cert.cert_pem);
  env_.set("SSL_CERT_DIR", hashed.path().string());
  EXPECT_EQ(connect_error(url), "");

  // An explicit store is never swapped for the system's, even when it names nothing.
  env_.set("SSL_CERT_DIR", (dir_.path() / "missing").string());
  EXPECT_EQ(connect_error(url),
            "OSError: no trusted CA certificates found: set SSL_CERT_FILE to a CA bundle file "
            "or SSL_CERT_DIR to a folder of CA certificates");
  EXPECT_EQ(server.connections(), 2);

  // Without either variable the system's store is used, which does not know this certificate.
  env_.unset("SSL_CERT_DIR");
  EXPECT_EQ(connect_error(url),
            "OSError: [SSL] certificate verify failed: self-signed certificate");
}

TEST_F(WssSettings, ProtocolsOlderThanTls12AreRefused) {
  const auto cert = make_self_signed_cert("DNS:localhost");
  trust_file(cert);
  WsTestServer old_server({.tls = cert, .tls_max_version = TLS1_1_VERSION});
  EXPECT_THAT(connect_error(url_for(old_server, "localhost")),
              ::testing::StartsWith("OSError: [SSL] "));
  WsTestServer server({.tls = cert, .tls_max_version = TLS1_2_VERSION});
  EXPECT_EQ(connect_error(url_for(server, "localhost")), "");
}

TEST_F(WssSettings, ServerNameIndicationCarriesHostNamesNeverAddresses) {
  const auto cert = make_self_signed_cert("DNS:" + test_host("sni") + ",IP:127.0.0.1");
  trust_file(cert);
  WsTestServer server({.tls = cert});
  EXPECT_EQ(connect_error(url_for(server, test_host("sni"))), "");
  EXPECT_EQ(connect_error(url_for(server, "127.0.0.1")), "");
  EXPECT_EQ(server.tls_server_names(), (std::vector<std::string>{test_host("sni"), ""}));
}

TEST_F(WssSettings, CertificateMustNameTheHostAndPartialWildcardsAreRefused) {
  const auto wildcard = make_self_signed_cert("DNS:*.example.test");
  trust_file(wildcard);
  WsTestServer whole({.tls = wildcard});
  EXPECT_EQ(connect_error(url_for(whole, test_host("any"))), "");
  EXPECT_EQ(connect_error(url_for(whole, "127.0.0.1")),
            "OSError: [SSL] certificate verify failed: IP address mismatch");

  const auto partial = make_self_signed_cert("DNS:a*.example.test");
  trust_file(partial);
  WsTestServer server({.tls = partial});
  EXPECT_EQ(connect_error(url_for(server, test_host("ab"))),
            "OSError: [SSL] certificate verify failed: hostname mismatch");
  EXPECT_EQ(connect_error(url_for(server, test_host("b"))),
            "OSError: [SSL] certificate verify failed: hostname mismatch");
}

}  // namespace
