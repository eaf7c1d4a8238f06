// A saved login whose access token the service has revoked: the start-up path refreshes it once
// with the saved refresh token before anything connects, and reports clearly when it cannot.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "sim_process.hpp"
#include "test_support.hpp"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::ProcessOptions;
using velmora::testing::run_process;
using velmora::testing::SimProcess;
using velmora::testing::TempDir;

struct TokenRefresh : ::testing::Test {
  TempDir home;
  std::filesystem::path credentials_file = home.path() / "config" / "velmora" / "credentials.json";

  /// A saved login of `sim` that is not yet expired locally.
  void save_login(const SimProcess& sim, const std::string& access, const std::string& refresh) {
    const boost::json::object login{
        {"access_token", access},           {"refresh_token", refresh},
        {"token_type", "Bearer"},           {"expires_at", 4102444800.0},
        {"oauth_base_url", sim.http_url()}, {"client_id", "velmora-cli"}};
    velmora::testing::write_file(credentials_file, boost::json::serialize(login));
  }

  ProcessOptions options(const SimProcess& sim, std::vector<std::string> args) {
    ProcessOptions o;
    o.args = std::move(args);
    o.clean_env = true;
    o.cwd = home.path();
    o.env = {{"HOME", home.path().string()},
             {"XDG_CONFIG_HOME", (home.path() / "config").string()},
             {"XDG_STATE_HOME", (home.path() / "state").string()},
             {"VELMORA_OAUTH_BASE_URL", sim.http_url()},
             {"QUILLON_URL", sim.ws_url()},
             {"TERM", "dumb"}};
    o.timeout_seconds = 60;
    return o;
  }

  std::string saved_access_token() {
    return std::string(boost::json::parse(velmora::testing::read_file(credentials_file))
                           .as_object()
                           .at("access_token")
                           .as_string());
  }
};

TEST_F(TokenRefresh, RevokedSavedTokenIsRefreshedBeforeConnecting) {
  SimProcess sim({"--revoke-token", "old-token", "--refresh-token", "refresh-1=sim-user"});
  save_login(sim, "old-token", "refresh-1");

  const auto r = run_process(VELMORA_BIN, options(sim, {"--query", "hello"}));
  const std::string output = r.out + r.err;
  EXPECT_THAT(output, Not(HasSubstr("The provided token is invalid or expired."))) << output;
  EXPECT_THAT(output, Not(HasSubstr("Missing")));

  // One refresh with the saved refresh token, then the identity asked again with the new token.
  const auto requests = sim.records("credentials");
  std::vector<std::string> seen;
  for (const auto& rec : requests) seen.emplace_back(rec.at("path").as_string());
  EXPECT_THAT(seen, ::testing::ElementsAre("/oauth/userinfo", "/oauth/token", "/oauth/userinfo",
                                           "/api/v1/users/sim-user/devevaro_account"));
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[1].at("form").at("grant_type"), "refresh_token");
  const std::string fresh = saved_access_token();
  EXPECT_NE(fresh, "old-token");
  EXPECT_EQ(requests[0].at("status"), 401);
  EXPECT_EQ(requests[2].at("status"), 200);

  // Whatever the session does next, it never offers the revoked token to the websocket.
  for (const auto& open : sim.records("ws_open")) {
    EXPECT_THAT(boost::json::serialize(open), Not(HasSubstr("old-token")));
  }
}

TEST_F(TokenRefresh, RevokedTokenWithoutUsableRefreshEndsWithTheLoginHint) {
  SimProcess sim({"--revoke-token", "old-token"});
  save_login(sim, "old-token", "unknown-refresh");

  const auto r = run_process(VELMORA_BIN, options(sim, {"--query", "hello"}));
  const std::string output = r.out + r.err;
  EXPECT_EQ(r.exit_code, 1) << output;
  EXPECT_THAT(output, HasSubstr("The provided token is invalid or expired."));
  EXPECT_THAT(output, HasSubstr("Token refresh failed. Run `velmora login` and complete browser "
                                "authorization."));
  EXPECT_TRUE(sim.records("ws_open").empty());
}

}  // namespace
