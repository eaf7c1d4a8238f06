// The saved login stays private to its user whatever the folder or an older file allowed (and is
// not written where that cannot be had), and a CLI whose token was rejected picks up the one
// another CLI refreshed instead of refreshing again.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "oauth_test_service.hpp"
#include "velmora/oauth/credentials.hpp"
#include "velmora/oauth/device_flow.hpp"
#include "velmora/oauth/token_store.hpp"
#include "velmora/platform/files.hpp"
#include "velmora/base/errors.hpp"

namespace {

using velmora::oauth::make_credentials;
using velmora::oauth::SavedLogin;
using velmora::oauth::TokenStore;
using velmora::testing::HttpReply;
using velmora::testing::HttpTestServer;
using velmora::testing::json_reply;
using velmora::testing::OauthEnv;
using velmora::testing::RecordedRequest;

double in_an_hour() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count() + 3600;
}

SavedLogin login_of(const std::string& base, const std::string& access) {
  return SavedLogin{
      .tokens = {.access_token = access, .refresh_token = "refresh-0", .expires_at = in_an_hour()},
      .oauth_base_url = base,
      .client_id = "velmora-cli"};
}

mode_t mode_of(const std::filesystem::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 0777;
}

TEST(TokenFile, IsPrivateAfterSavingAndLoadingWhateverTheModesBefore) {
  struct Case {
    const char* name;
    mode_t folder;
    std::optional<mode_t> older_file;
    bool save;  // else only loaded
  } cases[] = {
      {"new file in an open folder", 0777, std::nullopt, true},
      {"older readable file replaced", 0755, 0644, true},
      {"older world-writable file replaced", 0755, 0666, true},
      {"older readable file only read", 0755, 0644, false},
      {"older group-readable file only read", 0700, 0640, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OauthEnv env;
    const TokenStore store(env.credentials_file());
    std::filesystem::create_directories(store.file().parent_path());
    ASSERT_EQ(::chmod(store.file().parent_path().c_str(), c.folder), 0);
    if (c.older_file) {
      velmora::testing::write_file(store.file(),
                                   velmora::oauth::serialize_login(login_of("", "old")));
      ASSERT_EQ(::chmod(store.file().c_str(), *c.older_file), 0);
    }
    const mode_t old_umask = ::umask(0);
    if (c.save) {
      store.save(login_of("", "new"));
    } else {
      EXPECT_TRUE(store.load());
    }
    ::umask(old_umask);
    EXPECT_EQ(mode_of(store.file()), 0600);
    // No temporary file is left behind for others to read.
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(store.file().parent_path())) {
      (void)entry;
      ++entries;
    }
    EXPECT_EQ(entries, 1);
  }
}

TEST(RefreshHandOff, ARejectedTokenIsReplacedByTheOneAnotherCliRefreshed) {
  OauthEnv env;
  HttpTestServer service([](const RecordedRequest&) -> HttpReply {
    return json_reply(200, R"({"access_token": "access-mine", "refresh_token": "refresh-mine",
                               "expires_in": 3600})");
  });
  const TokenStore store(env.credentials_file());
  store.save(login_of(service.url(), "access-0"));

  // This CLI starts with the saved token; the service rejects it; meanwhile another CLI that
  // met the same rejection refreshed and saved its result.
  auto credentials = make_credentials();
  EXPECT_EQ(credentials->get_valid_token(service.url(), "velmora-cli"), "access-0");
  store.save(login_of(service.url(), "access-other"));
  EXPECT_EQ(credentials->force_refresh_token(service.url(), "velmora-cli"), "access-other");
  EXPECT_EQ(service.request_count(), 0U);

  // The replacement rejected as well: now the refresh token is spent.
  EXPECT_EQ(credentials->force_refresh_token(service.url(), "velmora-cli"), "access-mine");
  EXPECT_EQ(service.request_count(), 1U);
  EXPECT_EQ(store.load()->tokens.access_token, "access-mine");
}

TEST(RefreshHandOff, ATokenFromElsewhereStillRefreshesTheSavedLogin) {
  OauthEnv env;
  HttpTestServer service([](const RecordedRequest&) -> HttpReply {
    return json_reply(200, R"({"access_token": "access-1", "expires_in": 3600})");
  });
  TokenStore(env.credentials_file()).save(login_of(service.url(), "access-0"));
  // No saved token was handed out (the run was given --token): the saved one is refreshed.
  EXPECT_EQ(make_credentials()->force_refresh_token(service.url(), "velmora-cli"), "access-1");
  EXPECT_EQ(service.request_count(), 1U);
}

TEST(LoginFailure, NeverQuotesAnAnswerThatCarriesTokens) {
  const std::string token = "secret-access-0123456789";
  const std::string bodies[] = {
      "access_token=" + token + "&token_type=bearer",  // form-encoded, as some services answer
      R"([{"access_token": ")" + token + R"("}])",
  };
  for (const auto& body : bodies) {
    SCOPED_TRACE(body);
    OauthEnv env;
    HttpTestServer service([&](const RecordedRequest& req) -> HttpReply {
      if (req.target == "/oauth/device/code") {
        return json_reply(200, R"({"device_code": "d", "user_code": "U", "interval": 0,
                                   "verification_uri": "http://x/device", "expires_in": 60})");
      }
      return HttpReply{.status = 200, .body = body};
    });
    velmora::testing::FakeHooks fake;
    try {
      (void)velmora::oauth::run_device_flow(
          {.oauth_base_url = service.url(), .client_id = "c", .on_authorize_url = [](auto&) {}},
          fake.hooks());
      ADD_FAILURE() << "the login succeeded";
    } catch (const velmora::base::RuntimeError& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr("HTTP 200"));
      EXPECT_THAT(e.what(), ::testing::Not(::testing::HasSubstr(token.substr(8))));
    }
  }
}

// A file system that refuses to change modes, for as long as it lives.
class ModesRefused {
 public:
  ModesRefused()
      : previous_(velmora::platform::replace_chmod_call(+[](const char*, mode_t) {
          errno = EPERM;
          return -1;
        })) {}
  ~ModesRefused() { velmora::platform::replace_chmod_call(previous_); }
  ModesRefused(const ModesRefused&) = delete;
  ModesRefused& operator=(const ModesRefused&) = delete;

 private:
  velmora::platform::ChmodCall previous_;
};

HttpReply device_login(const RecordedRequest& req) {
  if (req.target == "/oauth/device/code") {
    return json_reply(200, R"({"device_code": "d", "user_code": "U", "interval": 0,
                               "verification_uri": "http://x/device", "expires_in": 60})");
  }
  return json_reply(200, R"({"access_token": "access-new", "refresh_token": "refresh-new",
                             "expires_in": 3600})");
}

TEST(TokenFile, TokensAreNotWrittenWhereTheFolderCannotBeMadePrivate) {
  OauthEnv env;
  const TokenStore store(env.credentials_file());
  const auto folder = store.file().parent_path();
  std::filesystem::create_directories(folder);
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  HttpTestServer service(device_login);
  ModesRefused refused;

  try {
    store.save(login_of(service.url(), "access-0"));
    ADD_FAILURE() << "saved";
  } catch (const velmora::base::OSError& e) {
    EXPECT_EQ(std::string(e.what()),
              "mode 0700 could not be set on '" + folder.string() + "': Operation not permitted");
  }
  EXPECT_TRUE(std::filesystem::is_empty(folder));

  // A login says why its tokens were not kept.
  velmora::testing::FakeHooks fake;
  try {
    (void)make_credentials(fake.hooks())
        ->run_login_flow({.oauth_base_url = service.url(), .client_id = "velmora-cli"});
    ADD_FAILURE() << "the login reported success";
  } catch (const velmora::base::RuntimeError& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("The login succeeded but its tokens could not be "
                                               "saved: mode 0700 could not be set on '" +
                                               folder.string() + "'"));
  }
  EXPECT_FALSE(std::filesystem::exists(store.file()));
}

TEST(TokenFile, ARefreshThatCannotBeKeptPrivateWarnsAndLeavesARecordWithoutTokens) {
  OauthEnv env;
  HttpTestServer service([](const RecordedRequest&) {
    return json_reply(200, R"({"access_token": "access-1", "refresh_token": "refresh-1",
                               "expires_in": 3600})");
  });
  const TokenStore store(env.credentials_file());
  auto expired = login_of(service.url(), "access-0");
  expired.tokens.expires_at = 1;
  store.save(expired);
  ASSERT_EQ(::chmod(store.file().parent_path().c_str(), 0755), 0);

  std::vector<std::string> warnings;
  velmora::testing::FakeHooks fake;
  auto hooks = fake.hooks();
  hooks.warn = [&](const std::string& text) { warnings.push_back(text); };
  {
    ModesRefused refused;
    auto credentials = make_credentials(hooks);
    EXPECT_EQ(credentials->get_valid_token(service.url(), "velmora-cli"), "access-1");
  }
  ASSERT_EQ(warnings.size(), 1U) << ::testing::PrintToString(warnings);
  EXPECT_THAT(warnings[0], ::testing::HasSubstr("the refreshed login could not be saved to " +
                                                store.file().string() + ": mode 0700"));
  EXPECT_THAT(warnings[0], ::testing::Not(::testing::HasSubstr("refresh-1")));
  const auto stored = store.read();
  EXPECT_EQ(stored.state, velmora::oauth::StoredLogin::State::stale);
  const std::string left = velmora::testing::read_file(store.file());
  for (const char* token : {"refresh-0", "refresh-1", "access-0", "access-1"}) {
    EXPECT_THAT(left, ::testing::Not(::testing::HasSubstr(token)));
  }

  warnings.clear();
  EXPECT_EQ(make_credentials(hooks)->get_valid_token(service.url(), "velmora-cli"), std::nullopt);
  ASSERT_EQ(warnings.size(), 1U);
  EXPECT_THAT(warnings[0], ::testing::StartsWith("saved login is out of date: run velmora login"));
  EXPECT_EQ(service.request_count(), 1U);
}

}  // namespace
