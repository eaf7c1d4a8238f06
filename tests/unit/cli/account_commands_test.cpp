#include "velmora/account_commands.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include "velmora/program_entry.hpp"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using velmora::oauth::LoginFlowOptions;
using velmora::oauth::LoginResult;
using velmora::term::Console;
using velmora::term::StringSink;

const std::string ACCESS = "access-token-0123456789abcdef";
const std::string REFRESH = "refresh-token-0123456789abcdef";

// A credentials service scripted per test.
class FakeCredentials final : public velmora::oauth::Credentials {
 public:
  std::string authorize_url = "https://auth.test/device?user_code=AB[12]";
  std::vector<boost::json::object> poll_responses;
  std::function<void()> fail_login;
  std::function<std::optional<std::string>()> identity = [] { return std::string("u-1"); };
  bool had_tokens = true;

  bool saw_poll_callback = false;
  LoginFlowOptions seen;
  std::string identity_base_url;
  std::string identity_token;

  std::string resolve_oauth_base_url() override { return "http://127.0.0.1:9/oauth-base"; }
  std::string resolve_oauth_client_id() override { return "velmora-cli"; }
  std::optional<std::string> env_default(std::string_view) override { return std::nullopt; }
  std::optional<std::string> get_valid_token(const std::string&, const std::string&) override {
    return std::nullopt;
  }
  LoginResult run_login_flow(const LoginFlowOptions& options) override {
    seen = options;
    saw_poll_callback = static_cast<bool>(options.on_poll_response);
    options.on_authorize_url(authorize_url);
    if (options.on_poll_response) {
      for (const auto& response : poll_responses) options.on_poll_response(response);
    }
    if (fail_login) fail_login();
    LoginResult result;
    result.tokens.access_token = ACCESS;
    result.tokens.refresh_token = REFRESH;
    return result;
  }
  std::optional<std::string> fetch_user_id_from_token(const std::string& base_url,
                                                      const std::string& token) override {
    identity_base_url = base_url;
    identity_token = token;
    return identity();
  }
  std::optional<std::string> force_refresh_token(const std::string&, const std::string&) override {
    return std::nullopt;
  }
  std::optional<std::string> fetch_devevaro_account(const std::string&, const std::string&,
                                                    const std::string&) override {
    return std::nullopt;
  }
  bool clear_saved_tokens() override {
    const bool had = had_tokens;
    had_tokens = false;
    return had;
  }
};

struct Screen {
  std::shared_ptr<StringSink> sink = std::make_shared<StringSink>();
  Console console{velmora::term::ConsoleOptions{.no_color = true}, sink};
  [[nodiscard]] const std::string& text() const { return sink->text(); }
};

TEST(LoginCommand, SuccessPrintsTheAddressAndTheUser) {
  FakeCredentials credentials;
  Screen screen;
  EXPECT_EQ(velmora::run_login_command(credentials, screen.console, false), 0);
  EXPECT_EQ(screen.text(),
            "Opening browser for login…\n"
            "If the browser did not open, copy this URL:\n"
            "https://auth.test/device?user_code=AB[12]\n"
            "Login successful!  user_id=u-1\n");
  EXPECT_EQ(credentials.seen.oauth_base_url, "http://127.0.0.1:9/oauth-base");
  EXPECT_EQ(credentials.seen.client_id, "velmora-cli");
  EXPECT_FALSE(credentials.saw_poll_callback) << "poll responses are shown only with --debug";
  EXPECT_EQ(credentials.identity_base_url, "http://127.0.0.1:9/oauth-base");
  EXPECT_EQ(credentials.identity_token, ACCESS);
}

TEST(LoginCommand, UnknownIdentityStillSucceeds) {
  const std::vector<std::function<std::optional<std::string>()>> lookups = {
      [] { return std::nullopt; },
      [] { return std::string(); },
      []() -> std::optional<std::string> {
        throw velmora::oauth::InvalidTokenError("token rejected");
      },
      []() -> std::optional<std::string> {
        throw velmora::base::OSError("Connection refused", 111);
      },
  };
  for (const auto& lookup : lookups) {
    FakeCredentials credentials;
    credentials.identity = lookup;
    Screen screen;
    EXPECT_EQ(velmora::run_login_command(credentials, screen.console, false), 0);
    EXPECT_THAT(screen.text(), ::testing::EndsWith("\nLogin successful!\n"));
  }
}

TEST(LoginCommand, DebugShowsEveryPollResponseWithTokensMasked) {
  FakeCredentials credentials;
  credentials.poll_responses = {
      boost::json::parse(R"({"error": "authorization_pending"})").as_object(),
      boost::json::object{{"access_token", ACCESS},
                          {"refresh_token", REFRESH},
                          {"id_token", "id-token-0123456789"},
                          {"token_type", "Bearer"},
                          {"note", "[red]x[/] 日本"}},
  };
  Screen screen;
  EXPECT_EQ(velmora::run_login_command(credentials, screen.console, true), 0);
  EXPECT_TRUE(credentials.saw_poll_callback);
  EXPECT_THAT(screen.text(), HasSubstr("poll response: {\"error\": \"authorization_pending\"}\n"));
  EXPECT_THAT(screen.text(),
              HasSubstr("poll response: {\"access_token\": \"access-t…\", \"refresh_token\": "
                        "\"refresh-…\", \"id_token\": \"id-token…\", \"token_type\": \"Bearer\", "
                        "\"note\": \"[red]x[/] 日本\"}\n"));
  EXPECT_THAT(screen.text(), Not(HasSubstr(ACCESS)));
  EXPECT_THAT(screen.text(), Not(HasSubstr(REFRESH)));
}

TEST(LoginCommand, RuntimeErrorIsALoginFailure) {
  FakeCredentials credentials;
  credentials.fail_login = [] {
    throw velmora::base::RuntimeError("access_denied: user said [red]no[/]");
  };
  Screen screen;
  EXPECT_EQ(velmora::run_login_command(credentials, screen.console, false), 1);
  EXPECT_THAT(screen.text(),
              ::testing::EndsWith("\nLogin failed: access_denied: user said [red]no[/]\n"));
  EXPECT_THAT(screen.text(), Not(HasSubstr("Login successful")));

  auto sink = std::make_shared<StringSink>();
  Console colour({.force_terminal = true, .color_system = "standard"}, sink);
  EXPECT_EQ(velmora::run_login_command(credentials, colour, false), 1);
  EXPECT_THAT(sink->text(),
              HasSubstr("\x1b[31mLogin failed:\x1b[0m access_denied: user said [red]no[/]\n"));
}

TEST(LoginCommand, OtherErrorKindsAreNotLoginFailures) {
  FakeCredentials credentials;
  credentials.fail_login = [] { throw velmora::base::TimeoutError("timed out"); };
  Screen screen;
  EXPECT_THROW((void)velmora::run_login_command(credentials, screen.console, false),
               velmora::base::TimeoutError);
  EXPECT_THAT(screen.text(), Not(HasSubstr("Login failed")));
}

TEST(LogoutCommand, SecondLogoutFindsNothing) {
  FakeCredentials credentials;
  Screen screen;
  EXPECT_EQ(velmora::run_logout_command(credentials, screen.console), 0);
  EXPECT_EQ(velmora::run_logout_command(credentials, screen.console), 0);
  EXPECT_EQ(screen.text(),
            "Logged out successfully. Saved tokens have been removed.\n"
            "No saved tokens found — already logged out.\n");
}

TEST(MaskTokenFields, KeepsEightCharactersOfEachTokenAndAtMostHalfOfAShortOne) {
  const auto masked =
      velmora::mask_token_fields(boost::json::object{{"access_token", "abcdefghijklmnopq"},
                                                     {"refresh_token", "short"},
                                                     {"id_token", "ééééééééé"},
                                                     {"expires_in", 3600},
                                                     {"token_type", "Bearer-long-value"}});
  EXPECT_EQ(masked.at("access_token"), "abcdefgh…");
  EXPECT_EQ(masked.at("refresh_token"), "sh…");
  EXPECT_EQ(masked.at("id_token"), "éééééééé…");
  EXPECT_EQ(masked.at("expires_in"), 3600);
  EXPECT_EQ(masked.at("token_type"), "Bearer-long-value");
  EXPECT_EQ(velmora::mask_token_fields(masked), masked) << "masking twice changes nothing";
  EXPECT_EQ(
      velmora::mask_token_fields(boost::json::object{{"access_token", nullptr}}).at("access_token"),
      nullptr);
}

TEST(EscapedErrorLine, OneLineWithKindAndMessage) {
  EXPECT_EQ(velmora::escaped_error_line(velmora::base::OSError("Connection refused", 111)),
            "velmora: OSError: Connection refused");
  EXPECT_EQ(velmora::escaped_error_line(velmora::base::TimeoutError("")), "velmora: TimeoutError");
  EXPECT_EQ(velmora::escaped_error_line(std::runtime_error("two\nlines\x1b[31m")),
            "velmora: Exception: two lines[31m");
}

}  // namespace
