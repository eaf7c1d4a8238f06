#include "credentials_state.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include "velmora/base/errors.hpp"

namespace {

using velmora::agent_sim::CredentialsSettings;
using velmora::agent_sim::CredentialsState;
using velmora::agent_sim::DeviceOutcome;
using velmora::agent_sim::FormFields;
using velmora::agent_sim::HttpAnswer;
using velmora::agent_sim::TokenStatus;

constexpr double NOW_SECONDS = 1'700'000'000;
constexpr const char* DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code";

boost::json::object body_of(const HttpAnswer& answer) {
  return boost::json::parse(answer.body).as_object();
}

std::string error_of(const HttpAnswer& answer) {
  const auto body = body_of(answer);
  return body.contains("error") ? std::string(body.at("error").as_string()) : "";
}

std::string start_login(CredentialsState& creds) {
  const auto answer = creds.device_code({{"client_id", "velmora-cli"}}, "http://sim", NOW_SECONDS);
  EXPECT_EQ(answer.status, 200u) << answer.body;
  return std::string(body_of(answer).at("device_code").as_string());
}

HttpAnswer poll(CredentialsState& creds, const std::string& code, double now = NOW_SECONDS,
                const std::string& client = "velmora-cli") {
  return creds.token({{"grant_type", DEVICE_GRANT}, {"device_code", code}, {"client_id", client}},
                     now);
}

HttpAnswer refresh(CredentialsState& creds, const std::string& token) {
  return creds.token(
      {{"grant_type", "refresh_token"}, {"refresh_token", token}, {"client_id", "velmora-cli"}},
      NOW_SECONDS);
}

TEST(CredentialsDeviceFlow, AnnouncesVerificationAddressIntervalAndLifetime) {
  CredentialsSettings settings;
  settings.device_interval = 2;
  settings.device_expires_in = 90.5;
  CredentialsState creds(settings);
  const auto body = body_of(creds.device_code({{"client_id", "c"}}, "http://127.0.0.1:9", NOW_SECONDS));
  const std::string user_code(body.at("user_code").as_string());
  EXPECT_THAT(user_code, ::testing::MatchesRegex("[A-Z]{4}-[A-Z]{4}"));
  EXPECT_EQ(body.at("verification_uri"), "http://127.0.0.1:9/device");
  EXPECT_EQ(body.at("verification_uri_complete").as_string(),
            "http://127.0.0.1:9/device?user_code=" + user_code);
  EXPECT_EQ(body.at("interval"), 2);
  EXPECT_EQ(body.at("expires_in"), 90.5);
  EXPECT_FALSE(body.at("device_code").as_string().empty());
}

// Each poll's answer, in order, for a configured flow.
struct FlowCase {
  std::size_t slow_down;
  std::size_t pending;
  DeviceOutcome outcome;
  std::vector<std::string> polls;  // "" stands for tokens issued
};

class CredentialsFlowTable : public ::testing::TestWithParam<FlowCase> {};

TEST_P(CredentialsFlowTable, AnswersPollsInOrder) {
  const auto& c = GetParam();
  CredentialsSettings settings;
  settings.device_slow_down_polls = c.slow_down;
  settings.device_pending_polls = c.pending;
  settings.device_outcome = c.outcome;
  CredentialsState creds(settings);
  const auto code = start_login(creds);
  for (std::size_t i = 0; i < c.polls.size(); ++i) {
    const auto answer = poll(creds, code);
    if (c.polls[i].empty()) {
      EXPECT_EQ(answer.status, 200u) << "poll " << i + 1;
      const auto body = body_of(answer);
      EXPECT_EQ(body.at("token_type"), "Bearer");
      EXPECT_TRUE(body.contains("access_token") && body.contains("refresh_token"));
    } else {
      EXPECT_EQ(answer.status, 400u) << "poll " << i + 1;
      EXPECT_EQ(error_of(answer), c.polls[i]) << "poll " << i + 1;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Flows, CredentialsFlowTable,
    ::testing::Values(
        FlowCase{0, 0, DeviceOutcome::approve, {"", "invalid_grant"}},
        FlowCase{0,
                 2,
                 DeviceOutcome::approve,
                 {"authorization_pending", "authorization_pending", "", "invalid_grant"}},
        FlowCase{1, 1, DeviceOutcome::approve, {"slow_down", "authorization_pending", ""}},
        FlowCase{
            0, 1, DeviceOutcome::deny, {"authorization_pending", "access_denied", "invalid_grant"}},
        FlowCase{0, 0, DeviceOutcome::expire, {"expired_token", "invalid_grant"}}));

TEST(CredentialsDeviceFlow, CodeExpiresAfterItsLifetime) {
  CredentialsSettings settings;
  settings.device_expires_in = 60;
  settings.device_pending_polls = 5;
  CredentialsState creds(settings);
  const auto code = start_login(creds);
  EXPECT_EQ(error_of(poll(creds, code, NOW_SECONDS + 59)), "authorization_pending");
  EXPECT_EQ(error_of(poll(creds, code, NOW_SECONDS + 61)), "expired_token");
}

TEST(CredentialsDeviceFlow, RefusesUnknownCodesAndForeignClients) {
  CredentialsSettings settings;
  settings.client_id = "velmora-cli";
  CredentialsState creds(settings);
  EXPECT_EQ(creds.device_code({{"client_id", "other"}}, "http://sim", NOW_SECONDS).status, 401u);
  EXPECT_EQ(error_of(creds.device_code({}, "http://sim", NOW_SECONDS)), "invalid_request");
  const auto code = start_login(creds);
  EXPECT_EQ(error_of(poll(creds, "nope")), "invalid_grant");
  const auto foreign = poll(creds, code, NOW_SECONDS, "other");
  EXPECT_EQ(foreign.status, 401u);
  EXPECT_EQ(error_of(foreign), "invalid_client");
  EXPECT_EQ(error_of(creds.token({{"grant_type", "password"}}, NOW_SECONDS)), "unsupported_grant_type");
  EXPECT_EQ(error_of(creds.token({}, NOW_SECONDS)), "invalid_request");
}

TEST(CredentialsTokens, RefreshTokensWorkOnce) {
  CredentialsSettings instant;
  instant.device_pending_polls = 0;
  CredentialsState quick(instant);
  const auto issued = body_of(poll(quick, start_login(quick)));
  const std::string rt(issued.at("refresh_token").as_string());

  const auto renewed = refresh(quick, rt);
  ASSERT_EQ(renewed.status, 200u) << renewed.body;
  const auto renewed_body = body_of(renewed);
  EXPECT_NE(renewed_body.at("access_token"), issued.at("access_token"));
  EXPECT_NE(renewed_body.at("refresh_token"), issued.at("refresh_token"));

  const auto again = refresh(quick, rt);
  EXPECT_EQ(again.status, 400u);
  EXPECT_EQ(body_of(again).at("error_description"), "refresh token already used");
  EXPECT_EQ(error_of(refresh(quick, "rt-made-up")), "invalid_grant");
  EXPECT_EQ(refresh(quick, std::string(renewed_body.at("refresh_token").as_string())).status, 200u);
}

TEST(CredentialsTokens, UserinfoKnowsIssuedSeededRevokedAndExpiredTokens) {
  CredentialsSettings settings;
  settings.device_pending_polls = 0;
  settings.login_user = "alice";
  settings.token_lifetime = 100;
  settings.seeded_tokens = {{"seed", "bob"}, {"gone", "bob"}};
  settings.revoked_tokens = {"gone"};
  CredentialsState creds(settings);
  const auto issued = body_of(poll(creds, start_login(creds)));
  const std::string token(issued.at("access_token").as_string());

  const auto alice = creds.userinfo("Bearer " + token, NOW_SECONDS + 1);
  ASSERT_EQ(alice.status, 200u);
  EXPECT_EQ(body_of(alice), (boost::json::object{{"user_id", "alice"}}));
  EXPECT_EQ(body_of(creds.userinfo("bearer  seed ", NOW_SECONDS)).at("user_id"), "bob");

  struct Refused {
    std::string authorization;
    double now;
  };
  for (const auto& r :
       {Refused{"Bearer unknown", NOW_SECONDS}, Refused{"Bearer gone", NOW_SECONDS},
        Refused{"Bearer " + token, NOW_SECONDS + 100}, Refused{"Basic seed", NOW_SECONDS}, Refused{"", NOW_SECONDS}}) {
    const auto answer = creds.userinfo(r.authorization, r.now);
    EXPECT_EQ(answer.status, 401u) << r.authorization;
    EXPECT_EQ(error_of(answer), "invalid_token") << r.authorization;
  }
  EXPECT_EQ(creds.check_access_token(token, NOW_SECONDS + 100), TokenStatus::expired);
  EXPECT_EQ(creds.check_access_token("gone", NOW_SECONDS), TokenStatus::revoked);
}

TEST(CredentialsTokens, UserinfoClaimsFollowTheSetting) {
  for (const auto& [claims, expected] :
       std::vector<std::pair<velmora::agent_sim::UserinfoClaims, boost::json::object>>{
           {velmora::agent_sim::UserinfoClaims::sub, {{"sub", "u"}}},
           {velmora::agent_sim::UserinfoClaims::both, {{"user_id", "u"}, {"sub", "u"}}}}) {
    CredentialsSettings settings;
    settings.seeded_tokens = {{"t", "u"}};
    settings.userinfo_claims = claims;
    CredentialsState creds(settings);
    EXPECT_EQ(body_of(creds.userinfo("Bearer t", NOW_SECONDS)), expected);
  }
}

TEST(CredentialsTokens, AccountLookUp) {
  CredentialsSettings settings;
  settings.seeded_tokens = {{"ta", "alice"}, {"tb", "bob"}};
  settings.accounts = {{"alice", "acct-7"}};
  CredentialsState creds(settings);
  const auto found = creds.account("alice", "Bearer ta", NOW_SECONDS);
  EXPECT_EQ(found.status, 200u);
  EXPECT_EQ(body_of(found), (boost::json::object{{"devevaro_account", "acct-7"}}));
  EXPECT_EQ(creds.account("bob", "Bearer tb", NOW_SECONDS).status, 404u);
  EXPECT_EQ(creds.account("alice", "Bearer tb", NOW_SECONDS).status, 403u);
  EXPECT_EQ(creds.account("alice", "Bearer nope", NOW_SECONDS).status, 401u);
}

TEST(CredentialsTokens, SessionTokensAnyOrStrict) {
  for (const bool strict : {false, true}) {
    CredentialsSettings settings;
    settings.strict_session_tokens = strict;
    settings.seeded_tokens = {{"known", "u"}};
    settings.revoked_tokens = {"bad"};
    CredentialsState creds(settings);
    EXPECT_TRUE(creds.accepts_session_token("known", NOW_SECONDS));
    EXPECT_EQ(creds.accepts_session_token("whatever", NOW_SECONDS), !strict);
    EXPECT_FALSE(creds.accepts_session_token("bad", NOW_SECONDS));
    EXPECT_FALSE(creds.accepts_session_token("", NOW_SECONDS));
  }
}

TEST(CredentialsTokens, IssuedTokensSurviveASaveAndLoad) {
  CredentialsSettings settings;
  settings.device_pending_polls = 0;
  CredentialsState creds(settings);
  const auto issued = body_of(poll(creds, start_login(creds)));
  EXPECT_TRUE(creds.take_dirty());
  EXPECT_FALSE(creds.take_dirty());
  const std::string rt(issued.at("refresh_token").as_string());
  ASSERT_EQ(refresh(creds, rt).status, 200u);

  CredentialsState restored(settings);
  restored.load_json(creds.to_json());
  EXPECT_EQ(restored.check_access_token(std::string(issued.at("access_token").as_string()), NOW_SECONDS),
            TokenStatus::valid);
  EXPECT_EQ(body_of(refresh(restored, rt)).at("error_description"), "refresh token already used");

  EXPECT_THROW(restored.load_json({{"access_tokens", {{"t", 5}}}}), velmora::base::RuntimeError);
}

}  // namespace
