#include "velmora/oauth/credentials.hpp"

#include <sys/stat.h>

#include <set>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "oauth_test_service.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/oauth/device_flow.hpp"
#include "velmora/oauth/token_store.hpp"
#include "velmora/platform/file_lock.hpp"

namespace {

using ::testing::HasSubstr;
using velmora::oauth::InvalidTokenError;
using velmora::oauth::make_credentials;
using velmora::oauth::parse_login;
using velmora::oauth::SavedLogin;
using velmora::oauth::serialize_login;
using velmora::oauth::TokenStore;
using velmora::testing::FakeHooks;
using velmora::testing::form_field;
using velmora::testing::HttpReply;
using velmora::testing::HttpTestServer;
using velmora::testing::json_reply;
using velmora::testing::OauthEnv;
using velmora::testing::RecordedRequest;

double now_seconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

// Descriptors of this process open on `path`.
int open_count(const std::filesystem::path& path) {
  int count = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code link_ec;
    if (std::filesystem::read_symlink(entry.path(), link_ec) == path) ++count;
  }
  return count;
}

SavedLogin saved(const std::string& base, const std::string& access, const std::string& refresh,
                 double expires_at) {
  return SavedLogin{.tokens = {.access_token = access,
                               .refresh_token = refresh,
                               .token_type = "Bearer",
                               .expires_at = expires_at},
                    .oauth_base_url = base,
                    .client_id = "velmora-cli"};
}

// Issues "access-N"/"refresh-N" for each refresh and rejects spent refresh tokens.
class RefreshingService {
 public:
  RefreshingService() : server_([this](const RecordedRequest& req) { return answer(req); }) {}
  [[nodiscard]] std::string url() const { return server_.url(); }
  [[nodiscard]] const HttpTestServer& server() const { return server_; }
  void seed(const std::string& refresh_token) {
    std::lock_guard lock(mutex_);
    live_.insert(refresh_token);
  }

 private:
  HttpReply answer(const RecordedRequest& req) {
    if (req.target != "/oauth/token") return HttpReply{.status = 404};
    std::lock_guard lock(mutex_);
    const auto presented = form_field(req.body, "refresh_token");
    if (live_.erase(presented) == 0) {
      return json_reply(400, R"({"error": "invalid_grant"})");
    }
    ++issued_;
    const auto n = std::to_string(issued_);
    live_.insert("refresh-" + n);
    return json_reply(200, R"({"access_token": "access-)" + n + R"(", "refresh_token": "refresh-)" +
                               n + R"(", "expires_in": 3600})");
  }

  std::mutex mutex_;
  std::set<std::string> live_;
  int issued_ = 0;
  HttpTestServer server_;
};

TEST(Credentials, ResolvesSettingsFromEnvironmentAndBuiltInDefaults) {
  OauthEnv env;
  auto credentials = make_credentials();
  EXPECT_EQ(credentials->resolve_oauth_base_url(), "");
  EXPECT_EQ(credentials->resolve_oauth_client_id(), "velmora-cli");
  env.env.set("VELMORA_OAUTH_BASE_URL", "  https://id.example/base//  ");
  env.env.set("VELMORA_OAUTH_CLIENT_ID", " my-client ");
  EXPECT_EQ(credentials->resolve_oauth_base_url(), "https://id.example/base");
  EXPECT_EQ(credentials->resolve_oauth_client_id(), "my-client");
  env.env.set("VELMORA_OAUTH_CLIENT_ID", "   ");
  EXPECT_EQ(credentials->resolve_oauth_client_id(), "velmora-cli");
  EXPECT_EQ(credentials->env_default("ws_url"), std::nullopt);  // empty in test builds
  EXPECT_EQ(credentials->env_default("something_else"), std::nullopt);
}

TEST(Credentials, WithoutABaseAddressLookupsReturnNothingAndLoginAsksForIt) {
  OauthEnv env;
  TokenStore(env.credentials_file()).save(saved("", "access-saved", "refresh-saved", 0));
  auto credentials = make_credentials();
  EXPECT_EQ(credentials->get_valid_token("", "velmora-cli"), std::nullopt);
  EXPECT_EQ(credentials->force_refresh_token("", "velmora-cli"), std::nullopt);
  EXPECT_EQ(credentials->fetch_user_id_from_token("", "access-saved"), std::nullopt);
  EXPECT_EQ(credentials->fetch_devevaro_account("", "u1", "access-saved"), std::nullopt);
  try {
    (void)credentials->run_login_flow({.oauth_base_url = "", .client_id = "velmora-cli"});
    ADD_FAILURE() << "no error";
  } catch (const velmora::base::RuntimeError& e) {
    EXPECT_THAT(e.what(), HasSubstr("VELMORA_OAUTH_BASE_URL"));
  }
}

TEST(Credentials, LoginSavesAPrivateTokenFileThatLaterRunsUseWithoutTheNetwork) {
  OauthEnv env;
  HttpTestServer server([](const RecordedRequest& req) {
    if (req.target == "/oauth/device/code") {
      return json_reply(200, R"({"device_code": "d", "verification_uri_complete": "https://x/y",
                                 "interval": 1, "expires_in": 60})");
    }
    return json_reply(200, R"({"access_token": "access-new", "refresh_token": "refresh-new",
                               "expires_in": 3600})");
  });
  FakeHooks fake;
  auto credentials = make_credentials(fake.hooks());
  const auto result = credentials->run_login_flow(
      {.oauth_base_url = server.url(), .client_id = "velmora-cli", .on_authorize_url = {}});
  EXPECT_EQ(result.tokens.access_token, "access-new");

  struct stat st {};
  ASSERT_EQ(::stat(env.credentials_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600U);
  const auto login = TokenStore(env.credentials_file()).load();
  ASSERT_TRUE(login);
  EXPECT_EQ(login->tokens.refresh_token, "refresh-new");
  EXPECT_EQ(login->oauth_base_url, server.url());

  const auto before = server.request_count();
  EXPECT_EQ(make_credentials()->get_valid_token(server.url() + "/", "velmora-cli"), "access-new");
  EXPECT_EQ(server.request_count(), before);
  // Tokens of another service are not offered to this one.
  EXPECT_EQ(make_credentials()->get_valid_token("https://other.example", "velmora-cli"),
            std::nullopt);
}

TEST(Credentials, ExpiredTokenIsRefreshedAndTheRotatedRefreshTokenKept) {
  OauthEnv env;
  RefreshingService service;
  service.seed("refresh-0");
  const TokenStore store(env.credentials_file());
  store.save(saved(service.url(), "access-0", "refresh-0", now_seconds() - 10));

  auto credentials = make_credentials();
  EXPECT_EQ(credentials->get_valid_token(service.url(), "velmora-cli"), "access-1");
  const auto request = service.server().requests().at(0);
  EXPECT_EQ(request.body, "grant_type=refresh_token&refresh_token=refresh-0&client_id=velmora-cli");
  auto login = store.load();
  EXPECT_EQ(login->tokens.access_token, "access-1");
  EXPECT_EQ(login->tokens.refresh_token, "refresh-1");
  EXPECT_GT(login->tokens.expires_at, now_seconds() + 3000);

  // Forced after a rejection, even though the saved token has not expired.
  EXPECT_EQ(credentials->force_refresh_token(service.url(), "velmora-cli"), "access-2");

  // A refresh token the service no longer honours: nothing, and the saved login stays.
  store.save(saved(service.url(), "access-x", "refresh-spent", now_seconds() - 10));
  EXPECT_EQ(credentials->get_valid_token(service.url(), "velmora-cli"), std::nullopt);
  EXPECT_EQ(store.load()->tokens.refresh_token, "refresh-spent");

  // No refresh token at all.
  store.save(saved(service.url(), "access-x", "", now_seconds() - 10));
  EXPECT_EQ(credentials->force_refresh_token(service.url(), "velmora-cli"), std::nullopt);
}

TEST(Credentials, ParallelRefreshesNeverSpendTheSameRefreshTokenTwice) {
  OauthEnv env;
  RefreshingService service;
  service.seed("refresh-0");
  TokenStore(env.credentials_file())
      .save(saved(service.url(), "access-0", "refresh-0", now_seconds() + 3600));

  constexpr int CLIS = 6;
  std::vector<std::optional<std::string>> results(CLIS);
  std::vector<std::thread> threads;
  for (int i = 0; i < CLIS; ++i) {
    threads.emplace_back([&, i] {
      results[i] = make_credentials()->force_refresh_token(service.url(), "velmora-cli");
    });
  }
  for (auto& t : threads) t.join();

  std::multiset<std::string> presented;
  for (const auto& req : service.server().requests()) {
    presented.insert(form_field(req.body, "refresh_token"));
  }
  for (const auto& token : presented) EXPECT_EQ(presented.count(token), 1U) << token;
  for (const auto& result : results) {
    ASSERT_TRUE(result);
    EXPECT_THAT(*result, ::testing::StartsWith("access-"));
    EXPECT_NE(*result, "access-0");
  }
}

TEST(Credentials, AWaitingRefreshUsesTheTokenAnotherCliSavedMeanwhile) {
  OauthEnv env;
  RefreshingService service;
  service.seed("refresh-0");
  const TokenStore store(env.credentials_file());
  store.save(saved(service.url(), "access-0", "refresh-0", now_seconds() + 3600));

  std::optional<std::string> result;
  std::thread waiting;
  {
    velmora::platform::FileLock other_cli(store.lock_file());
    waiting = std::thread(
        [&] { result = make_credentials()->force_refresh_token(service.url(), "velmora-cli"); });
    // The waiting call opens the lock file after reading the credentials: once it has, the
    // other CLI replaces them.
    for (int i = 0; i < 3000 && open_count(store.lock_file()) < 2; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    store.save(saved(service.url(), "access-other", "refresh-other", now_seconds() + 3600));
  }
  waiting.join();
  EXPECT_EQ(result, "access-other");
  EXPECT_EQ(service.server().request_count(), 0U);
}

TEST(Credentials, CorruptOrMissingFileIsNoLoginAndLogoutRemovesIt) {
  OauthEnv env;
  auto credentials = make_credentials();
  EXPECT_FALSE(credentials->clear_saved_tokens());
  for (const char* text : {"", "{", "[]", R"({"access_token": ""})", R"({"refresh_token": "r"})",
                           "\xff\xfe garbage"}) {
    velmora::testing::write_file(env.credentials_file(), text);
    EXPECT_EQ(credentials->get_valid_token("http://127.0.0.1:9", "velmora-cli"), std::nullopt)
        << text;
    EXPECT_EQ(credentials->force_refresh_token("http://127.0.0.1:9", "velmora-cli"), std::nullopt);
  }
  EXPECT_TRUE(credentials->clear_saved_tokens());
  EXPECT_FALSE(std::filesystem::exists(env.credentials_file()));
  EXPECT_FALSE(credentials->clear_saved_tokens());
}

TEST(TokenStore, RoundTripsEveryField) {
  SavedLogin login = saved("https://id.example", "a\"b", "r", 1712345678.5);
  login.id_token = "idt";
  const auto back = parse_login(serialize_login(login));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->tokens.access_token, "a\"b");
  EXPECT_EQ(back->tokens.refresh_token, "r");
  EXPECT_EQ(back->tokens.token_type, "Bearer");
  EXPECT_DOUBLE_EQ(back->tokens.expires_at, 1712345678.5);
  EXPECT_EQ(back->id_token, "idt");
  EXPECT_EQ(back->oauth_base_url, "https://id.example");
  EXPECT_EQ(back->client_id, "velmora-cli");
}

TEST(Credentials, IdentityLookup) {
  OauthEnv env;
  struct Case {
    HttpReply reply;
    std::optional<std::string> user;
  };
  const Case cases[] = {
      {json_reply(200, R"({"user_id": "u-1", "sub": "s-1"})"), "u-1"},
      {json_reply(200, R"({"sub": "s-1"})"), "s-1"},
      {json_reply(200, R"({"user_id": 42})"), "42"},
      {json_reply(200, R"({"name": "x"})"), std::nullopt},
      {json_reply(500, R"({"user_id": "u-1"})"), std::nullopt},
      {HttpReply{.body = "not json"}, std::nullopt},
  };
  for (const auto& c : cases) {
    HttpTestServer server([reply = c.reply](const RecordedRequest&) { return reply; });
    EXPECT_EQ(make_credentials()->fetch_user_id_from_token(server.url(), "tok"), c.user)
        << c.reply.body;
    const auto req = server.requests().at(0);
    EXPECT_EQ(req.method, "GET");
    EXPECT_EQ(req.target, "/oauth/userinfo");
    EXPECT_EQ(req.header("Authorization"), "Bearer tok");
  }

  HttpTestServer rejecting([](const RecordedRequest&) {
    return json_reply(401, R"({"error": "invalid_token", "error_description": "expired"})");
  });
  try {
    (void)make_credentials()->fetch_user_id_from_token(rejecting.url(), "tok");
    ADD_FAILURE() << "no error";
  } catch (const InvalidTokenError& e) {
    EXPECT_EQ(std::string(e.what()),
              "The credentials service rejected the token (invalid_token: expired)");
    EXPECT_EQ(e.kind_name(), "InvalidTokenError");
  }
}

TEST(Credentials, AccountLookup) {
  OauthEnv env;
  struct Case {
    HttpReply reply;
    std::optional<std::string> account;
  };
  const Case cases[] = {
      {json_reply(200, R"({"devevaro_account": "acct-9"})"), "acct-9"},
      {json_reply(200, R"({"devevaro_account": 123})"), "123"},
      {json_reply(200, R"({"devevaro_account": ""})"), std::nullopt},
      {json_reply(200, R"({"devevaro_account": null})"), std::nullopt},
      {json_reply(404, R"({"detail": "not found"})"), std::nullopt},
  };
  for (const auto& c : cases) {
    HttpTestServer server([reply = c.reply](const RecordedRequest&) { return reply; });
    EXPECT_EQ(make_credentials()->fetch_devevaro_account(server.url(), "a b/c", "tok"), c.account)
        << c.reply.body;
    const auto req = server.requests().at(0);
    EXPECT_EQ(req.target, "/api/v1/users/a%20b%2Fc/devevaro_account");
    EXPECT_EQ(req.header("Authorization"), "Bearer tok");
  }
}

}  // namespace
