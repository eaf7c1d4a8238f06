#include "velmora/runtime_config.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include <boost/json/parse.hpp>

#include "fake_credentials.hpp"
#include "velmora/cli_errors.hpp"
#include "test_support.hpp"

namespace {

using velmora::CliInvocationError;
using velmora::load_runtime_defaults;
using velmora::Options;
using velmora::RuntimeConfig;
using velmora::testing::FakeCredentials;
using velmora::testing::Rejected;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const char* const SETTINGS[] = {
    "QUILLON_URL",      "VELMORA_AUTH_TOKEN", "QUILLON_FILE_API_URL",    "QUILLON_USER_ID",
    "QUILLON_LANGUAGE", "QUILLON_SCENARIO",   "QUILLON_WHEEL_SERVER_URL"};

struct RuntimeDefaults : ::testing::Test {
  velmora::testing::ScopedEnv env;
  velmora::testing::TempDir dir;
  FakeCredentials credentials;
  std::shared_ptr<velmora::term::StringSink> printed =
      std::make_shared<velmora::term::StringSink>();
  velmora::RuntimeDefaultsHooks hooks;

  RuntimeDefaults() {
    for (const char* name : SETTINGS) env.unset(name);
    hooks.dotenv_file = dir.path() / ".env";
    hooks.login_console = [sink = printed] {
      return std::make_shared<velmora::term::Console>(
          velmora::term::ConsoleOptions{.no_color = true}, sink);
    };
    hooks.new_thread_id = [] { return std::string("fresh-thread"); };
  }

  RuntimeConfig load(const Options& args) {
    return load_runtime_defaults(args, credentials, hooks);
  }

  /// Runs load and returns the invocation error it raised.
  CliInvocationError load_error(const Options& args) {
    try {
      (void)load(args);
    } catch (const CliInvocationError& e) {
      return e;
    }
    ADD_FAILURE() << "no CliInvocationError";
    return CliInvocationError("", "", "");
  }
};

TEST_F(RuntimeDefaults, UrlComesFromOptionThenEnvironmentThenDotenvThenBuiltIn) {
  struct Case {
    std::optional<std::string> option, environment, dotenv, built_in;
    std::optional<std::string> expected;
  } cases[] = {
      {" ws://opt ", "ws://env", "ws://file", "ws://builtin", "ws://opt"},
      {"   ", "ws://env", std::nullopt, "ws://builtin", "ws://env"},
      {std::nullopt, " ", "ws://file", "ws://builtin", "ws://builtin"},
      {std::nullopt, std::nullopt, "ws://file", "ws://builtin", "ws://file"},
      {std::nullopt, std::nullopt, std::nullopt, "ws://builtin", "ws://builtin"},
      {std::nullopt, std::nullopt, std::nullopt, "", std::nullopt},
      {std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    env.unset("QUILLON_URL");
    if (c.environment) env.set("QUILLON_URL", *c.environment);
    velmora::testing::write_file(hooks.dotenv_file,
                                 c.dotenv ? "QUILLON_URL=" + *c.dotenv + "\n" : "");
    credentials.ws_default = c.built_in;
    Options args;
    args.url = c.option;
    args.token = "t";
    EXPECT_EQ(load(args).url, c.expected)
        << c.option.value_or("-") << "/" << c.environment.value_or("-");
  }
}

TEST_F(RuntimeDefaults, FileApiUrlIsNotTrimmedButEmptyFallsThrough) {
  struct Case {
    std::optional<std::string> option, environment, built_in, expected;
  } cases[] = {
      {"  ", "http://env", "http://builtin", "  "},
      {" http://opt/ ", std::nullopt, std::nullopt, " http://opt/ "},
      {"", "http://env", "http://builtin", "http://env"},
      {"", "", "http://builtin", "http://builtin"},
      {std::nullopt, std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    env.unset("QUILLON_FILE_API_URL");
    if (c.environment) env.set("QUILLON_FILE_API_URL", *c.environment);
    credentials.file_api_default = c.built_in;
    Options args;
    args.file_api_url = c.option;
    args.token = "t";
    EXPECT_EQ(load(args).file_api_url, c.expected) << c.option.value_or("-");
  }
}

TEST_F(RuntimeDefaults, TokenFromOptionThenEnvironmentThenSavedLogin) {
  struct Case {
    std::optional<std::string> option, environment, saved, expected;
    bool asks_saved_login;
  } cases[] = {
      {" opt ", "env", "saved", "opt", false},
      {"  ", "env", "saved", "env", false},
      {std::nullopt, " ", "saved", "saved", true},
      {std::nullopt, std::nullopt, "", "login-token", true},
  };
  for (const auto& c : cases) {
    env.unset("VELMORA_AUTH_TOKEN");
    if (c.environment) env.set("VELMORA_AUTH_TOKEN", *c.environment);
    credentials = FakeCredentials();
    credentials.saved_token = c.saved;
    Options args;
    args.token = c.option;
    const auto cfg = load(args);
    EXPECT_EQ(cfg.token, c.expected) << c.option.value_or("-");
    EXPECT_EQ(std::count(credentials.calls.begin(), credentials.calls.end(), "get_valid_token"),
              c.asks_saved_login ? 1 : 0);
  }
}

TEST_F(RuntimeDefaults, UserIdWithoutTokenSkipsLoginAndFailsTheContract) {
  Options args;
  args.user_id = "u1";
  args.url = "ws://x";
  const auto cfg = load(args);
  EXPECT_EQ(cfg.token, std::nullopt);
  EXPECT_EQ(cfg.user_id, "u1");
  EXPECT_THAT(credentials.calls, ElementsAre("get_valid_token", "fetch_devevaro_account"));
  EXPECT_EQ(credentials.account_token, "");
  try {
    velmora::validate_runtime_contract(cfg);
    FAIL() << "contract passed";
  } catch (const CliInvocationError& e) {
    EXPECT_EQ(e.category(), "auth");
    EXPECT_EQ(e.summary(), "Missing auth token.");
  }
}

TEST_F(RuntimeDefaults, NoIdentityAtAllRunsTheBrowserLoginAndPrintsTheAddressLiterally) {
  credentials.user_answers = {std::optional<std::string>("u-login")};
  const auto cfg = load(Options{});
  EXPECT_EQ(cfg.token, "login-token");
  EXPECT_EQ(cfg.user_id, "u-login");
  EXPECT_THAT(credentials.calls, ElementsAre("get_valid_token", "run_login_flow",
                                             "fetch_user_id_from_token", "fetch_devevaro_account"));
  EXPECT_EQ(printed->text(),
            "No saved credentials \u2014 opening browser for login\u2026\n"
            "If the browser did not open, copy this URL:\n"
            "https://login.test/device?code=AB[1]\n"
            "Login successful!\n");
}

TEST_F(RuntimeDefaults, TokenUserFillsOrMustMatchUserId) {
  credentials.user_answers = {std::optional<std::string>("u-token")};
  Options args;
  args.token = "t";
  EXPECT_EQ(load(args).user_id, "u-token");

  args.user_id = " u-token ";
  EXPECT_EQ(load(args).user_id, "u-token");

  args.user_id = "someone-else";
  const auto e = load_error(args);
  EXPECT_EQ(e.category(), "auth");
  EXPECT_EQ(e.summary(), "Provided user_id does not match the token.");
  EXPECT_EQ(e.hint(),
            "Token identifies user 'u-token'. Remove --user-id or pass the correct value.");
}

TEST_F(RuntimeDefaults, RejectedTokenIsRefreshedOnce) {
  credentials.user_answers = {Rejected{"token expired"}, std::optional<std::string>("u1")};
  credentials.refresh_answers = {std::string("fresh")};
  Options args;
  args.token = "old";
  const auto cfg = load(args);
  EXPECT_EQ(cfg.token, "fresh");
  EXPECT_EQ(cfg.user_id, "u1");
  EXPECT_THAT(credentials.looked_up_tokens, ElementsAre("old", "fresh"));
  EXPECT_EQ(credentials.account_token, "fresh");
}

TEST_F(RuntimeDefaults, RefreshThatFailsOrIsRejectedAgainReportsTheFirstError) {
  struct Case {
    std::deque<velmora::testing::UserAnswer> answers;
    std::optional<std::string> refreshed;
    int lookups;
  } cases[] = {
      {{Rejected{"first rejection"}, Rejected{"second rejection"}}, "fresh", 2},
      {{Rejected{"first rejection"}}, std::nullopt, 1},
      {{Rejected{"first rejection"}}, "", 1},
  };
  for (auto& c : cases) {
    credentials = FakeCredentials();
    credentials.user_answers = c.answers;
    credentials.refresh_answers = {c.refreshed};
    Options args;
    args.token = "old";
    const auto e = load_error(args);
    EXPECT_EQ(e.category(), "auth");
    EXPECT_EQ(e.summary(), "The provided token is invalid or expired.");
    EXPECT_EQ(e.hint(),
              "Token refresh failed. Run `velmora login` and complete browser authorization.");
    EXPECT_EQ(e.detail(), "first rejection");
    EXPECT_THROW(std::rethrow_exception(e.cause()), velmora::oauth::InvalidTokenError);
    EXPECT_EQ(credentials.looked_up_tokens.size(), static_cast<std::size_t>(c.lookups));
    EXPECT_EQ(std::count(credentials.calls.begin(), credentials.calls.end(), "force_refresh_token"),
              1);
  }
}

TEST_F(RuntimeDefaults, AccountOverwritesConfigValueOrKeepsIt) {
  struct Case {
    std::optional<std::string> config;
    std::optional<std::string> account;
    std::optional<std::string> expected;  // as JSON, nothing for no payload
  } cases[] = {
      {R"({"devevaro_account":"mine","x":1})", "acct-9", R"({"devevaro_account":"acct-9","x":1})"},
      {R"({"devevaro_account":"mine"})", std::nullopt, R"({"devevaro_account":"mine"})"},
      {R"({"devevaro_account":"mine"})", "", R"({"devevaro_account":"mine"})"},
      {std::nullopt, "acct-9", R"({"devevaro_account":"acct-9"})"},
      {std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    credentials = FakeCredentials();
    credentials.user_answers = {std::optional<std::string>("u1")};
    credentials.account = c.account;
    Options args;
    args.token = "t";
    args.config = c.config;
    const auto cfg = load(args);
    if (c.expected) {
      ASSERT_TRUE(cfg.config_payload);
      EXPECT_EQ(boost::json::value(*cfg.config_payload), boost::json::parse(*c.expected));
    } else {
      EXPECT_FALSE(cfg.config_payload);
    }
  }
}

TEST_F(RuntimeDefaults, BadConfigFailsBeforeAnyLoginOrLookup) {
  Options args;
  args.config = "{a:1, b}";
  const auto e = load_error(args);
  EXPECT_EQ(e.summary(), "Invalid --config JSON.");
  EXPECT_THAT(credentials.calls, IsEmpty());
  EXPECT_THAT(printed->text(), IsEmpty());
}

TEST_F(RuntimeDefaults, ThreadIdExplicitFreshOrAbsent) {
  Options args;
  args.thread_id = "  t-given ";
  args.token = "t";
  auto cfg = load(args);
  EXPECT_EQ(cfg.thread_id, "t-given");
  EXPECT_TRUE(cfg.explicit_thread_id);

  args.thread_id = "  ";
  cfg = load(args);
  EXPECT_EQ(cfg.thread_id, "fresh-thread");
  EXPECT_FALSE(cfg.explicit_thread_id);

  // Without a token or user there is no thread to ask for (the contract fails later).
  credentials.login_token = "";
  cfg = load(Options{});
  EXPECT_EQ(cfg.thread_id, std::nullopt);
}

TEST_F(RuntimeDefaults, RandomThreadIdIsAVersion4Uuid) {
  const std::regex uuid4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  const auto a = velmora::random_thread_id();
  EXPECT_TRUE(std::regex_match(a, uuid4)) << a;
  EXPECT_NE(a, velmora::random_thread_id());
}

TEST_F(RuntimeDefaults, TextSettingsScenarioAndWheelServer) {
  env.set("QUILLON_LANGUAGE", " ja ");
  env.set("QUILLON_SCENARIO", "  ");
  env.set("QUILLON_WHEEL_SERVER_URL", "http://env-wheels/");
  Options args;
  args.token = "t";
  auto cfg = load(args);
  EXPECT_EQ(cfg.language, "ja");
  EXPECT_EQ(cfg.scenario, "keyword");
  EXPECT_EQ(cfg.wheel_server_url, "http://env-wheels");
  EXPECT_EQ(cfg.oauth_base_url, "http://oauth.test");
  EXPECT_EQ(cfg.oauth_client_id, "velmora-cli");

  args.language = "en";
  args.scenario = " deep ";
  args.wheel_server_url = "http://wheels.test//";
  cfg = load(args);
  EXPECT_EQ(cfg.language, "en");
  EXPECT_EQ(cfg.scenario, "deep");
  EXPECT_EQ(cfg.wheel_server_url, "http://wheels.test");

  env.unset("QUILLON_WHEEL_SERVER_URL");
  args.wheel_server_url.reset();
  EXPECT_EQ(load(args).wheel_server_url, "http://127.0.0.1:11113");
}

TEST_F(RuntimeDefaults, TarnquistModeFollowsTheFinalConfig) {
  Options args;
  args.token = "t";
  args.config = R"({"channel":"feishu","source":"tarnquist"})";
  EXPECT_TRUE(load(args).tarnquist_mode);
  args.config = R"({"devevaro_account":"1"})";
  EXPECT_FALSE(load(args).tarnquist_mode);
}

TEST(ValidateRuntimeContract, ChecksEndpointThenIdentityThenToken) {
  struct Case {
    std::optional<std::string> url, user, token;
    bool tarnquist;
    std::string category, summary, hint;
  } cases[] = {
      {std::nullopt, "u", "t", false, "config", "Missing websocket endpoint.",
       "Pass --url or set QUILLON_URL before running the CLI."},
      {std::nullopt, std::nullopt, std::nullopt, true, "config", "Missing websocket endpoint.",
       "Set QUILLON_URL in the launcher environment. Tarnquist-style calls do not fall back to "
       "localhost."},
      {"ws://x", std::nullopt, std::nullopt, false, "config", "Missing user identity.",
       "Pass --user-id or --token, or run the CLI interactively to trigger browser login."},
      {"ws://x", "u", std::nullopt, false, "auth", "Missing auth token.",
       "Pass --token, set VELMORA_AUTH_TOKEN, or run the CLI interactively to trigger browser "
       "login."},
  };
  for (const auto& c : cases) {
    RuntimeConfig cfg;
    cfg.url = c.url;
    cfg.user_id = c.user;
    cfg.token = c.token;
    cfg.tarnquist_mode = c.tarnquist;
    try {
      velmora::validate_runtime_contract(cfg);
      ADD_FAILURE() << c.summary;
    } catch (const CliInvocationError& e) {
      EXPECT_EQ(e.category(), c.category);
      EXPECT_EQ(e.summary(), c.summary);
      EXPECT_EQ(e.hint(), c.hint);
      EXPECT_EQ(e.detail(), std::nullopt);
    }
  }
  RuntimeConfig complete;
  complete.url = "ws://x";
  complete.token = "t";
  EXPECT_NO_THROW(velmora::validate_runtime_contract(complete));
}

TEST_F(RuntimeDefaults, TheSavedLoginServesADotenvEndpointOnlyOnceThatFileIsTrusted) {
  hooks.dotenv_trust_file = dir.path() / "state" / "dotenv_trust.json";
  credentials.saved_token = "saved";
  velmora::testing::write_file(hooks.dotenv_file, "QUILLON_URL=ws://folder\n");
  std::vector<std::string> questions;
  bool answer = false;
  hooks.confirm_dotenv_trust = [&](const std::string& question) {
    questions.push_back(question);
    return answer;
  };

  // Declined: nothing of the saved login is touched.
  env.unset("QUILLON_URL");
  const auto refused = load_error(Options{});
  EXPECT_THAT(refused.summary(), HasSubstr("sets QUILLON_URL=ws://folder"));
  EXPECT_THAT(credentials.calls, IsEmpty());
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_THAT(questions[0], HasSubstr(".env sets QUILLON_URL=ws://folder; use your saved login "
                                      "there? [y/N] "));

  // Trusted once, remembered: the next run asks nothing. (Each load leaves the file's values in
  // this process's environment; a run loads it once.)
  answer = true;
  env.unset("QUILLON_URL");
  EXPECT_EQ(load(Options{}).token, "saved");
  EXPECT_EQ(questions.size(), 2u);
  env.unset("QUILLON_URL");
  const auto cfg = load(Options{});
  EXPECT_EQ(questions.size(), 2u);
  EXPECT_TRUE(cfg.saved_login_allowed);
  EXPECT_EQ(cfg.url_source, velmora::SettingSource::dotenv);
}

TEST_F(RuntimeDefaults, ATokenRejectedAtAnUntrustedDotenvEndpointIsNotReplacedByTheSavedLogin) {
  hooks.dotenv_trust_file = dir.path() / "state" / "dotenv_trust.json";
  velmora::testing::write_file(hooks.dotenv_file,
                               "QUILLON_URL=ws://folder\nVELMORA_AUTH_TOKEN=folder-token\n");
  credentials.user_answers = {Rejected{"invalid_token"}};
  credentials.refresh_answers = {std::optional<std::string>("saved-refreshed")};
  const auto error = load_error(Options{});
  EXPECT_EQ(error.summary(), "The provided token is invalid or expired.");
  EXPECT_THAT(credentials.calls, ElementsAre("fetch_user_id_from_token"));

  // Nor at connect time: the refreshed token would go to the folder's endpoint.
  RuntimeConfig cfg;
  cfg.oauth_base_url = credentials.base_url;
  cfg.oauth_client_id = credentials.client_id;
  cfg.saved_login_allowed = false;
  EXPECT_EQ(velmora::try_refresh_token(cfg, credentials), std::nullopt);
  EXPECT_THAT(credentials.calls, ElementsAre("fetch_user_id_from_token"));
}

}  // namespace
