// The TLS settings https:// shares with wss:// (velmora/tls/client_tls.hpp), each against a
// loopback server: where trust comes from, the TLS 1.2 floor, server name indication, and the
// names a certificate must carry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include "http_test_server.hpp"
#include "test_support.hpp"
#include "tls_fixtures.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/http/client.hpp"

namespace {

using velmora::http::exchange;
using velmora::http::Response;
using velmora::http::TransportFailure;
using velmora::testing::HttpReply;
using velmora::testing::HttpTestServer;
using velmora::testing::RecordedRequest;
using velmora::testing::test_host;

HttpReply ok(const RecordedRequest&) { return HttpReply{.body = "ok"}; }

class HttpsSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.unset("SSL_CERT_FILE");
    env_.unset("SSL_CERT_DIR");
    for (const char* name : {"HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy"}) {
      env_.unset(name);
    }
  }

  void trust_file(const HttpTestServer& server) {
    env_.set("SSL_CERT_FILE", server.certificate_file().string());
  }

  // The error of one request to `host` on `server`; empty when it was answered.
  static std::string request_error(const HttpTestServer& server, const std::string& host) {
    const auto outcome =
        exchange({.url = "https://" + host + ":" + std::to_string(server.port()) + "/"});
    const auto* failure = std::get_if<TransportFailure>(&outcome);
    if (failure == nullptr) return "";
    try {
      std::rethrow_exception(failure->error);
    } catch (const velmora::base::Error& e) {
      return std::string(e.kind_name()) + ": " + e.what();
    }
  }

  velmora::testing::ScopedEnv env_;
};

TEST_F(HttpsSettings, TrustComesFromSslCertFileOrSslCertDirAndNoStoreIsAClearError) {
  HttpTestServer server(ok, {.tls_names = {"localhost"}});
  trust_file(server);
  EXPECT_EQ(request_error(server, "localhost"), "");

  env_.unset("SSL_CERT_FILE");
  velmora::testing::TempDir hashed;
  velmora::testing::write_hashed_certificate(
      hashed.path(), velmora::testing::read_file(server.certificate_file()));
  env_.set("SSL_CERT_DIR", hashed.path().string());
  EXPECT_EQ(request_error(server, "localhost"), "");

  // An explicit store is never swapped for the system's, even when it names nothing.
  env_.set("SSL_CERT_DIR", (hashed.path() / "missing").string());
  EXPECT_EQ(request_error(server, "localhost"),
            "OSError: no trusted CA certificates found: set SSL_CERT_FILE to a CA bundle file "
            "or SSL_CERT_DIR to a folder of CA certificates");

  // Without either variable the system's store is used, which does not know this certificate.
  env_.unset("SSL_CERT_DIR");
  EXPECT_EQ(request_error(server, "localhost"),
            "OSError: certificate verify failed: self-signed certificate");
  EXPECT_EQ(server.request_count(), 2U);
}

TEST_F(HttpsSettings, ProtocolsOlderThanTls12AreRefused) {
  HttpTestServer old_server(ok, {.tls_names = {"localhost"}, .tls_max_version = TLS1_1_VERSION});
  trust_file(old_server);
  EXPECT_THAT(request_error(old_server, "localhost"), ::testing::StartsWith("OSError: "));
  EXPECT_EQ(old_server.request_count(), 0U);
  HttpTestServer server(ok, {.tls_names = {"localhost"}, .tls_max_version = TLS1_2_VERSION});
  trust_file(server);
  EXPECT_EQ(request_error(server, "localhost"), "");
}

TEST_F(HttpsSettings, ServerNameIndicationCarriesHostNamesNeverAddresses) {
  HttpTestServer server(ok, {.tls_names = {test_host("sni"), "127.0.0.1"}});
  trust_file(server);
  EXPECT_EQ(request_error(server, test_host("sni")), "");
  EXPECT_EQ(request_error(server, "127.0.0.1"), "");
  EXPECT_EQ(server.tls_server_names(), (std::vector<std::string>{test_host("sni"), ""}));
}

TEST_F(HttpsSettings, CertificateMustNameTheHostAndPartialWildcardsAreRefused) {
  HttpTestServer whole(ok, {.tls_names = {"*.example.test"}});
  trust_file(whole);
  EXPECT_EQ(request_error(whole, test_host("any")), "");
  EXPECT_EQ(request_error(whole, "127.0.0.1"),
            "OSError: certificate verify failed: IP address mismatch");

  HttpTestServer partial(ok, {.tls_names = {"a*.example.test"}});
  trust_file(partial);
  EXPECT_EQ(request_error(partial, test_host("ab")),
            "OSError: certificate verify failed: hostname mismatch");
  EXPECT_EQ(request_error(partial, test_host("b")),
            "OSError: certificate verify failed: hostname mismatch");
}

}  // namespace
