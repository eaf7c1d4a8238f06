#include "velmora/cli_errors.hpp"

#include <gtest/gtest.h>

#include <system_error>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "fake_credentials.hpp"
#include "velmora/base/errors.hpp"

namespace {

using velmora::classify_cli_error;
using velmora::CliErrorInfo;
using velmora::CliInvocationError;

const CliErrorInfo AUTH{"auth", "Authentication failed.", "Refresh the user token and retry.", {}};
const CliErrorInfo NETWORK{
    "network",
    "Failed to reach the websocket endpoint.",
    "Check --url or QUILLON_URL and confirm the remote service is reachable.",
    {}};
const CliErrorInfo CONFIG{
    "config", "CLI invocation failed.", "Check the CLI arguments and retry.", {}};

CliErrorInfo with_detail(CliErrorInfo info, std::string detail) {
  info.detail = std::move(detail);
  return info;
}

TEST(ClassifyCliError, ByMessageKindAndConnectPhase) {
  struct Case {
    std::exception_ptr error;
    bool during_connect;
    CliErrorInfo expected;
  };
  const auto rejected_401 =
      velmora::base::InvalidStatus(401, "server rejected WebSocket connection: HTTP 401");
  const Case cases[] = {
      {std::make_exception_ptr(velmora::base::RuntimeError("HTTP 401")), false,
       with_detail(AUTH, "HTTP 401")},
      {std::make_exception_ptr(rejected_401), true,
       with_detail(AUTH, "server rejected WebSocket connection: HTTP 401")},
      {std::make_exception_ptr(
           velmora::base::InvalidStatus(503, "server rejected WebSocket connection: HTTP 503")),
       false, with_detail(NETWORK, "server rejected WebSocket connection: HTTP 503")},
      // Without a message the kind name is the detail, and it still carries the marker.
      {std::make_exception_ptr(velmora::base::TimeoutError("")), false,
       with_detail(NETWORK, "TimeoutError")},
      {std::make_exception_ptr(velmora::base::InvalidStatus(403, "")), false,
       with_detail(AUTH, "InvalidStatus")},
      {std::make_exception_ptr(velmora::base::OSError("Connection refused")), false,
       with_detail(NETWORK, "Connection refused")},
      {std::make_exception_ptr(velmora::base::RuntimeError("unexpected value")), true,
       with_detail(NETWORK, "unexpected value")},
      {std::make_exception_ptr(velmora::base::RuntimeError("unexpected value")), false,
       with_detail(CONFIG, "unexpected value")},
      {std::make_exception_ptr(velmora::base::RuntimeError("\u7528\u6237\u672a\u767b\u5f55")),
       false, with_detail(AUTH, "\u7528\u6237\u672a\u767b\u5f55")},
      {std::make_exception_ptr(velmora::base::FileNotFoundError("missing token file")), false,
       with_detail(AUTH, "missing token file")},
      {std::make_exception_ptr(velmora::base::RuntimeError("")), false,
       with_detail(CONFIG, "RuntimeError")},
      {std::make_exception_ptr(boost::system::system_error(boost::asio::error::connection_refused)),
       false,
       with_detail(NETWORK,
                   boost::system::system_error(boost::asio::error::connection_refused).what())},
      {std::make_exception_ptr(velmora::oauth::InvalidTokenError("")), false,
       with_detail(AUTH, "InvalidTokenError")},
  };
  for (const auto& c : cases) {
    try {
      std::rethrow_exception(c.error);
    } catch (const std::exception& e) {
      EXPECT_EQ(classify_cli_error(e, c.during_connect), c.expected) << e.what();
    }
  }
}

TEST(ClassifyCliError, InvocationErrorPassesThroughWhateverItSays) {
  const CliInvocationError error("config", "Missing websocket endpoint. token 401 timeout",
                                 "Pass --url.", "detail text");
  EXPECT_EQ(classify_cli_error(error, true),
            (CliErrorInfo{"config", "Missing websocket endpoint. token 401 timeout", "Pass --url.",
                          "detail text"}));
  EXPECT_EQ(error.kind_name(), "CliInvocationError");
  EXPECT_EQ(velmora::base::error_kind_name(error), "CliInvocationError");
}

TEST(Markers, MatchAnywhereAfterUnicodeLowerCasing) {
  struct Case {
    const char* text;
    bool auth;
    bool network;
  } cases[] = {
      {"InvalidStatusCode", true, false},
      {"INVALID STATUS", true, false},
      {"bad userToken", true, false},
      {"Unauthorized", true, false},
      {"\u4f1a\u8bdd\u5df2\u5931\u6548", true, false},
      {"Timed Out while reading", false, true},
      {"ProxyError: tunnel failed", false, true},
      {"SSLV3_ALERT_HANDSHAKE_FAILURE", false, true},
      {"[WinError 10061] refused", false, true},
      {"getaddrinfo failed", false, true},
      {"Temporary failure in name resolution", false, true},
      {"CONNECTION RESET by peer", false, true},
      {"Network is unreachable", false, true},
      {"nothing to see", false, false},
      {"", false, false},
      // Full lower-casing: the Kelvin sign lower-cases to a plain "k".
      {"TO\u212aEN expired", true, false},
      {"\xff\xfe broken bytes timeout", false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(velmora::looks_like_auth_error(c.text), c.auth) << c.text;
    EXPECT_EQ(velmora::looks_like_network_error(c.text), c.network) << c.text;
  }
}

TEST(TryRefreshToken, NeedsBothOAuthSettings) {
  struct Case {
    std::string base;
    std::string client;
    bool calls;
  } cases[] = {
      {"http://oauth.test", "", false},
      {"", "velmora-cli", false},
      {"", "", false},
      {"http://oauth.test", "velmora-cli", true},
  };
  for (const auto& c : cases) {
    velmora::testing::FakeCredentials credentials;
    credentials.refresh_answers = {std::string("fresh")};
    velmora::RuntimeConfig cfg;
    cfg.oauth_base_url = c.base;
    cfg.oauth_client_id = c.client;
    const auto token = velmora::try_refresh_token(cfg, credentials);
    EXPECT_EQ(token.has_value(), c.calls) << c.base << "|" << c.client;
    EXPECT_EQ(credentials.calls.size(), c.calls ? 1u : 0u);
  }
}

TEST(TryRefreshToken, EmptyAnswerMeansNoRefresh) {
  velmora::testing::FakeCredentials credentials;
  credentials.refresh_answers = {std::string("")};
  velmora::RuntimeConfig cfg;
  cfg.oauth_base_url = "http://oauth.test";
  cfg.oauth_client_id = "velmora-cli";
  EXPECT_EQ(velmora::try_refresh_token(cfg, credentials), std::nullopt);
}

}  // namespace
