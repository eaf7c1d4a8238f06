// No answer of the credentials service reaches the user with a token in it, whatever the service
// echoes and however deep: every text goes through one masking rule.
#include "velmora/platform/secret_mask.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "oauth_test_service.hpp"
#include "velmora/oauth/credentials.hpp"
#include "velmora/oauth/device_flow.hpp"
#include "velmora/base/errors.hpp"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using velmora::oauth::make_credentials;
using velmora::platform::mask_json;
using velmora::platform::mask_secrets;
using velmora::testing::HttpReply;
using velmora::testing::HttpTestServer;
using velmora::testing::json_reply;
using velmora::testing::OauthEnv;
using velmora::testing::RecordedRequest;

const std::string ACCESS = "access-5f1d2c9a7b3e40e8";
const std::string OTHER = "echoed-9c8b7a6f5e4d3c2b";
const std::string DEVICE = "device-0a1b2c3d4e5f6789";

TEST(SecretMask, MasksKnownTokensAndSecretFieldsAnywhereInAText) {
  struct Case {
    std::string text;
    std::string shown;
  } cases[] = {
      {"Authorization: Bearer " + ACCESS, "Authorization: Bearer access-5…"},
      {"refresh_token=" + OTHER + "&client_id=velmora-cli",
       "refresh_token=echoed-9…&client_id=velmora-cli"},
      {R"({"request": {"form": {"device_code": ")" + DEVICE + R"("}}})",
       R"({"request": {"form": {"device_code": "device-0…"}}})"},
      {R"({"echo": "{\"id_token\": \")" + OTHER + R"(\"}"})",
       R"({"echo": "{\"id_token\": \"echoed-9…\"}"})"},
      {"no token here: access_token is missing", "no token here: access_token is missing"},
      // A short token is masked where it stands alone, not inside longer words.
      {"tok and --token", "t… and --token"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mask_secrets(c.text, {ACCESS, "tok"}), c.shown) << c.text;
  }
  // Characters, not bytes: a cut never splits one.
  EXPECT_EQ(mask_secrets("x=ééééééééééé", {"ééééééééééé"}), "x=éééééééé…");
}

TEST(SecretMask, MasksSecretFieldsAtAnyDepthOfJson) {
  const auto masked = mask_json(boost::json::parse(R"({
      "error": "authorization_pending",
      "debug": {"request": [{"access_token": ")" + ACCESS +
                                                   R"("}, {"device_code": 1234567890}]},
      "note": "sent )" + OTHER + R"("})"),
                                {OTHER});
  const std::string text = boost::json::serialize(masked);
  EXPECT_THAT(text, Not(HasSubstr(ACCESS)));
  EXPECT_THAT(text, Not(HasSubstr(OTHER)));
  EXPECT_THAT(text, Not(HasSubstr("1234567890")));
  EXPECT_EQ(masked.at("debug").at("request").at(0).at("access_token"), "access-5…");
  EXPECT_EQ(masked.at("note"), "sent echoed-9…");
  EXPECT_EQ(mask_json(masked), masked) << "masking twice changes nothing";
}

// The service answers every request with an echo of it.
HttpReply echo(int status, const RecordedRequest& req) {
  boost::json::object headers;
  for (const auto& h : req.headers) headers[h.name] = h.value;
  const boost::json::object body{{"detail", {{"headers", headers}, {"body", req.body}}}};
  return json_reply(status, boost::json::serialize(body));
}

TEST(ServiceErrors, AnEchoingServiceNeverPutsATokenInAnError) {
  OauthEnv env;
  HttpTestServer rejecting([](const RecordedRequest& req) { return echo(401, req); });
  try {
    (void)make_credentials()->fetch_user_id_from_token(rejecting.url(), ACCESS);
    ADD_FAILURE() << "no error";
  } catch (const velmora::oauth::InvalidTokenError& e) {
    EXPECT_THAT(e.what(), Not(HasSubstr(ACCESS)));
  }

  // The device code travels in every poll; a failing poll echoes it.
  HttpTestServer login([](const RecordedRequest& req) {
    if (req.target == "/oauth/device/code") {
      return json_reply(200, R"({"device_code": ")" + DEVICE + R"(", "user_code": "U",
                                 "interval": 0, "verification_uri": "http://x/device"})");
    }
    return echo(500, req);
  });
  velmora::testing::FakeHooks fake;
  std::vector<std::string> polls;
  try {
    (void)velmora::oauth::run_device_flow({.oauth_base_url = login.url(),
                                           .client_id = "velmora-cli",
                                           .on_poll_response =
                                               [&](const boost::json::object& answer) {
                                                 polls.push_back(boost::json::serialize(answer));
                                               }},
                                          fake.hooks());
    ADD_FAILURE() << "the login succeeded";
  } catch (const velmora::base::RuntimeError& e) {
    EXPECT_THAT(e.what(), HasSubstr("The credentials service rejected the login: HTTP 500"));
    EXPECT_THAT(e.what(), Not(HasSubstr(DEVICE)));
  }
  ASSERT_EQ(polls.size(), 1U);
  EXPECT_THAT(polls[0], Not(HasSubstr(DEVICE)));
}

TEST(ServiceErrors, ALongEchoIsMaskedBeforeItIsCut) {
  OauthEnv env;
  // The token straddles the 300th character of the body.
  const std::string body = std::string(290, 'x') + " " + ACCESS + " tail";
  HttpTestServer rejecting(
      [&](const RecordedRequest&) { return HttpReply{.status = 401, .body = body}; });
  try {
    (void)make_credentials()->fetch_user_id_from_token(rejecting.url(), ACCESS);
    ADD_FAILURE() << "no error";
  } catch (const velmora::oauth::InvalidTokenError& e) {
    EXPECT_THAT(e.what(), Not(HasSubstr(ACCESS.substr(0, 9))));
  }
}

}  // namespace
