#include "velmora/oauth/device_flow.hpp"

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include "oauth_test_service.hpp"
#include "velmora/base/errors.hpp"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using velmora::oauth::LoginFlowOptions;
using velmora::oauth::mask_poll_response;
using velmora::oauth::mask_token;
using velmora::oauth::run_device_flow;
using velmora::testing::FakeHooks;
using velmora::testing::form_field;
using velmora::testing::HttpReply;
using velmora::testing::HttpTestServer;
using velmora::testing::json_reply;
using velmora::testing::OauthEnv;
using velmora::testing::RecordedRequest;

constexpr const char* DEVICE_CODE_ANSWER =
    R"({"device_code": "dev-1", "user_code": "ABCD-EFGH", "verification_uri": "https://id.example/device",
        "verification_uri_complete": "https://id.example/device?user_code=ABCD-EFGH",
        "interval": 5, "expires_in": 600})";

// Answers the device-code request, then the polls from a script (the last one repeats).
HttpTestServer scripted_service(std::vector<HttpReply> polls,
                                std::string device_answer = DEVICE_CODE_ANSWER) {
  auto script = std::make_shared<std::vector<HttpReply>>(std::move(polls));
  auto next = std::make_shared<std::size_t>(0);
  return HttpTestServer([script, next, device_answer](const RecordedRequest& req) {
    if (req.target == "/oauth/device/code") return json_reply(200, device_answer);
    const auto i = std::min(*next, script->size() - 1);
    ++*next;
    return (*script)[i];
  });
}

HttpReply pending() { return json_reply(400, R"({"error": "authorization_pending"})"); }

TEST(DeviceFlow, PollsAtTheIntervalSlowsDownAndReturnsTheTokens) {
  OauthEnv env;
  auto server = scripted_service(
      {pending(), json_reply(400, R"({"error": "slow_down"})"), pending(),
       json_reply(200,
                  R"({"access_token": "access-0123456789", "refresh_token": "refresh-0123456789",
                          "id_token": "idtok-0123456789", "token_type": "Bearer", "expires_in": 3600,
                          "scope": "openid"})")});
  FakeHooks fake;
  std::vector<std::string> addresses;
  std::vector<boost::json::object> polls;
  std::string id_token;
  const auto tokens = run_device_flow(
      {.oauth_base_url = server.url() + "/",
       .client_id = "cli-x",
       .on_authorize_url = [&](const std::string& url) { addresses.push_back(url); },
       .on_poll_response = [&](const boost::json::object& o) { polls.push_back(o); }},
      fake.hooks(), &id_token);

  EXPECT_EQ(tokens.access_token, "access-0123456789");
  EXPECT_EQ(tokens.refresh_token, "refresh-0123456789");
  EXPECT_EQ(tokens.token_type, "Bearer");
  EXPECT_GT(tokens.expires_at, 0);
  EXPECT_EQ(id_token, "idtok-0123456789");
  EXPECT_THAT(addresses, ElementsAre("https://id.example/device?user_code=ABCD-EFGH"));
  EXPECT_EQ(fake.opened, addresses);
  EXPECT_THAT(fake.sleeps, ElementsAre(5, 5, 10, 10));

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 5U);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, "client_id=cli-x");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(requests[1].target, "/oauth/token");
  EXPECT_EQ(requests[1].body,
            "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Adevice_code&device_code=dev-1&"
            "client_id=cli-x");

  // Every poll answer reaches the callback; no whole token ever does.
  ASSERT_EQ(polls.size(), 4U);
  EXPECT_EQ(polls[0].at("error"), "authorization_pending");
  EXPECT_EQ(polls[3].at("access_token"), "access-0…");
  EXPECT_EQ(polls[3].at("refresh_token"), "refresh-…");
  EXPECT_EQ(polls[3].at("id_token"), "idtok-01…");
  EXPECT_EQ(polls[3].at("scope"), "openid");
}

TEST(DeviceFlow, FailuresEndWithAClearRuntimeError) {
  OauthEnv env;
  struct Case {
    std::vector<HttpReply> polls;
    std::string device_answer;
    std::string message;
  };
  const Case cases[] = {
      {{json_reply(400, R"({"error": "access_denied"})")},
       DEVICE_CODE_ANSWER,
       "The login was denied in the browser."},
      {{pending(), json_reply(400, R"({"error": "expired_token"})")},
       DEVICE_CODE_ANSWER,
       "The login code expired before it was approved."},
      {{json_reply(400, R"({"error": "invalid_client", "error_description": "unknown client"})")},
       DEVICE_CODE_ANSWER,
       "The credentials service rejected the login: invalid_client: unknown client"},
      {{HttpReply{.status = 502, .body = "bad gateway"}},
       DEVICE_CODE_ANSWER,
       "The credentials service rejected the login: HTTP 502: bad gateway"},
      {{json_reply(200, R"({"token_type": "Bearer"})")},
       DEVICE_CODE_ANSWER,
       "The credentials service approved the login but sent no access token."},
      {{pending()},
       R"({"user_code": "X", "verification_uri": "https://id.example/d"})",
       "The credentials service did not start a login: its answer lacks the device code or the "
       "verification address."},
  };
  for (const auto& c : cases) {
    auto server = scripted_service(c.polls, c.device_answer);
    FakeHooks fake;
    try {
      (void)run_device_flow({.oauth_base_url = server.url(), .client_id = "c"}, fake.hooks());
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const velmora::base::RuntimeError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }

  HttpTestServer refusing([](const RecordedRequest&) {
    return HttpReply{.status = 503, .body = R"({"error": "temporarily_unavailable"})"};
  });
  FakeHooks fake;
  try {
    (void)run_device_flow({.oauth_base_url = refusing.url(), .client_id = "c"}, fake.hooks());
    ADD_FAILURE() << "no error";
  } catch (const velmora::base::RuntimeError& e) {
    EXPECT_EQ(std::string(e.what()),
              "The credentials service did not start a login: temporarily_unavailable");
  }
  EXPECT_TRUE(fake.opened.empty());
}

TEST(DeviceFlow, NoBaseAddressOrUnreachableServiceFailsBeforePolling) {
  OauthEnv env;
  FakeHooks fake;
  try {
    (void)run_device_flow({.oauth_base_url = "  ", .client_id = "c"}, fake.hooks());
    ADD_FAILURE() << "no error";
  } catch (const velmora::base::RuntimeError& e) {
    EXPECT_THAT(e.what(), HasSubstr("Set VELMORA_OAUTH_BASE_URL"));
  }
  std::string url;
  {
    HttpTestServer gone([](const RecordedRequest&) { return HttpReply{}; });
    url = gone.url();
  }
  try {
    (void)run_device_flow({.oauth_base_url = url, .client_id = "c"}, fake.hooks());
    ADD_FAILURE() << "no error";
  } catch (const velmora::base::RuntimeError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Could not reach the credentials service at " + url + ": Connection refused");
    EXPECT_TRUE(e.cause());
  }
  EXPECT_TRUE(fake.sleeps.empty());
}

TEST(DeviceFlow, GivesUpWhenTheCodeExpiresAndBacksOffAfterNetworkFailures) {
  OauthEnv env;
  auto waiting = scripted_service(
      {pending()},
      R"({"device_code": "d", "verification_uri_complete": "https://id.example/x", "interval": 5,
          "expires_in": 12})");
  FakeHooks fake;
  try {
    (void)run_device_flow({.oauth_base_url = waiting.url(), .client_id = "c"}, fake.hooks());
    ADD_FAILURE() << "no error";
  } catch (const velmora::base::RuntimeError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Timed out after 12 s waiting for the login to be approved in the browser.");
  }
  EXPECT_THAT(fake.sleeps, ElementsAre(5, 5, 2));
  EXPECT_EQ(waiting.request_count(), 3U);

  // A dropped poll doubles the pace; the flow goes on and completes.
  auto flaky = scripted_service({HttpReply{.drop = true}, pending(),
                                 json_reply(200, R"({"access_token": "a-token-value"})")});
  FakeHooks backoff;
  const auto tokens =
      run_device_flow({.oauth_base_url = flaky.url(), .client_id = "c"}, backoff.hooks());
  EXPECT_EQ(tokens.access_token, "a-token-value");
  EXPECT_THAT(backoff.sleeps, ElementsAre(5, 10, 10));
}

TEST(DeviceFlow, BuildsTheAddressFromTheCodeWhenNoCompleteAddressIsGiven) {
  OauthEnv env;
  auto server = scripted_service(
      {json_reply(200, R"({"access_token": "a-token-value"})")},
      R"({"device_code": "d", "user_code": "AB CD", "verification_uri": "https://id.example/device"})");
  FakeHooks fake;
  (void)run_device_flow({.oauth_base_url = server.url(), .client_id = "c"}, fake.hooks());
  EXPECT_THAT(fake.opened, ElementsAre("https://id.example/device?user_code=AB+CD"));
  EXPECT_THAT(fake.sleeps, ElementsAre(5));  // the interval defaults to five seconds
}

TEST(MaskToken, ShowsAtMostEightCharactersAndNeverHalfOfAShortToken) {
  const std::pair<std::string, std::string> cases[] = {
      {"eyJhbGciOiJSUzI1NiJ9.payload", "eyJhbGci…"},
      {"0123456789abcdef", "01234567…"},
      {"short", "sh…"},
      {"x", "…"},
      {"", "…"},
      {"ééééééééééé", "éééééééé…"},
  };
  for (const auto& [token, shown] : cases) EXPECT_EQ(mask_token(token), shown) << token;

  const auto masked =
      mask_poll_response(boost::json::parse(
                             R"({"access_token": "abcdefghijkl", "refresh_token": 12345678901,
                                                 "id_token": null, "expires_in": 60})")
                             .as_object());
  EXPECT_EQ(masked.at("access_token"), "abcdef…");
  EXPECT_EQ(masked.at("refresh_token"), "…");
  EXPECT_TRUE(masked.at("id_token").is_null());
  EXPECT_EQ(masked.at("expires_in"), 60);
}

TEST(OpenInBrowser, StartsTheOpenerFromPathWithTheAddressAsOneArgument) {
  velmora::testing::TempDir bin;
  const auto log = bin.path() / "opened.txt";
  const auto script = bin.path() / "xdg-open";
  velmora::testing::write_file(script, "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > '" +
                                           log.string() + ".tmp' && mv '" + log.string() +
                                           ".tmp' '" + log.string() + "'\n");
  ::chmod(script.c_str(), 0755);
  velmora::testing::ScopedEnv env;
  env.set("PATH", bin.path().string() + ":/usr/bin:/bin");
  const std::string url = "https://id.example/device?a=1&b=$(touch x)";
  EXPECT_TRUE(velmora::oauth::open_in_browser(url));
  for (int i = 0; i < 1000 && !std::filesystem::exists(log); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(velmora::testing::read_file(log), "1|" + url);

  env.set("PATH", (bin.path() / "empty").string());
  EXPECT_FALSE(velmora::oauth::open_in_browser(url));
}

}  // namespace
