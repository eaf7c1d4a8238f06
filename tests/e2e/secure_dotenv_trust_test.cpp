// A `.env` file in the working folder chooses endpoints; the saved login must not follow it
// there until the user trusts that file. Two simulators: the user's own service (where the login
// was made) and the one the folder names. What the folder's service recorded is checked for the
// saved tokens.
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

#include "session_machine.hpp"

namespace {

using session_e2e::SessionMachine;
using session_e2e::Terminal;
using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::SAVED_ACCESS_TOKEN;
using velmora::testing::SAVED_REFRESH_TOKEN;
using velmora::testing::SESSION_TOKEN;
using velmora::testing::SimProcess;

std::string token_for(std::string_view token, std::string_view user) {
  return std::string(token) + "=" + std::string(user);
}

struct DotenvTrust : ::testing::Test {
  /// The user's own service: the saved login was made here.
  SimProcess own{{"--token", token_for(SAVED_ACCESS_TOKEN, "u1"), "--token",
                  token_for(SESSION_TOKEN, "u9"), "--refresh-token",
                  token_for(SAVED_REFRESH_TOKEN, "u1")}};
  /// The service the folder's `.env` names; it takes the saved token too, so a leak would work.
  SimProcess folder{
      {"--token", token_for(SAVED_ACCESS_TOKEN, "u1"), "--token", token_for(SESSION_TOKEN, "u9")}};
  SessionMachine machine;

  DotenvTrust() {
    machine.oauth_base_url = own.http_url();
    const boost::json::object login{{"access_token", SAVED_ACCESS_TOKEN},
                                    {"refresh_token", SAVED_REFRESH_TOKEN},
                                    {"token_type", "Bearer"},
                                    {"expires_at", 4102444800.0},
                                    {"oauth_base_url", own.http_url()},
                                    {"client_id", "velmora-cli"}};
    velmora::testing::write_file(machine.home() / "config" / "velmora" / "credentials.json",
                                 boost::json::serialize(login));
  }

  void write_dotenv(const std::string& text) const {
    velmora::testing::write_file(machine.home() / ".env", text);
  }
  [[nodiscard]] std::string dotenv_path() const { return (machine.home() / ".env").string(); }
  [[nodiscard]] std::filesystem::path trust_file() const {
    return machine.home() / "state" / "velmora" / "dotenv_trust.json";
  }

  /// True when anything of the saved login reached the folder's service.
  [[nodiscard]] bool folder_saw_saved_login() const {
    const std::string recorded = velmora::testing::read_file(folder.record_path());
    return recorded.find(SAVED_ACCESS_TOKEN) != std::string::npos ||
           recorded.find(SAVED_REFRESH_TOKEN) != std::string::npos;
  }
};

TEST_F(DotenvTrust, AnUntrustedFileStopsARunThatWouldSendItTheSavedLogin) {
  const struct {
    const char* name;
    std::string dotenv;
    std::vector<std::string> args;
    std::vector<std::string> named;
  } cases[] = {
      {"websocket endpoint",
       "QUILLON_URL=" + folder.ws_url() + "\n",
       {"--query", "hi sim:stream=1"},
       {"QUILLON_URL=" + folder.ws_url(), "--url or QUILLON_URL"}},
      {"File API only (the websocket endpoint is the user's own)",
       "QUILLON_FILE_API_URL=" + folder.http_url() + "\n",
       {"--url", own.ws_url(), "--attachment", "a.txt", "--query", "hi sim:stream=1"},
       {"QUILLON_FILE_API_URL=" + folder.http_url(), "--file-api-url or QUILLON_FILE_API_URL"}},
      {"OAuth base of its own",
       "QUILLON_URL=" + folder.ws_url() + "\nVELMORA_OAUTH_BASE_URL=" + folder.http_url() + "\n",
       {"--query", "hi sim:stream=1"},
       {"QUILLON_URL=" + folder.ws_url() + " and VELMORA_OAUTH_BASE_URL=" + folder.http_url()}},
  };
  velmora::testing::write_file(machine.home() / "a.txt", "a");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_dotenv(c.dotenv);
    // Set in the process environment, the OAuth base would be the user's own.
    machine.oauth_base_url.reset();
    if (c.dotenv.find("VELMORA_OAUTH_BASE_URL") == std::string::npos) {
      machine.oauth_base_url = own.http_url();
    }
    const auto result = machine.run(c.args);
    EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr(dotenv_path() + " sets "));
    for (const auto& text : c.named) EXPECT_THAT(result.out, HasSubstr(text));
    // Both ways out.
    EXPECT_THAT(result.out, HasSubstr("answer y to trust it"));
    EXPECT_THAT(result.out, HasSubstr("the token (--token or VELMORA_AUTH_TOKEN)"));
    EXPECT_FALSE(folder_saw_saved_login());
    EXPECT_TRUE(folder.records("ws_handshake").empty());
    EXPECT_TRUE(folder.records("upload").empty());
  }
}

TEST_F(DotenvTrust, EndpointsAndTokensTheUserGaveAreUnaffected) {
  write_dotenv("QUILLON_URL=" + folder.ws_url() + "\nQUILLON_FILE_API_URL=" + folder.http_url() +
               "\n");
  // The command line overrides every endpoint the file sets: the saved login goes to the
  // user's own service.
  auto result = machine.run(
      {"--url", own.ws_url(), "--file-api-url", own.http_url(), "--query", "hi sim:stream=1"});
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  ASSERT_EQ(own.records("ws_open").size(), 1u);
  EXPECT_EQ(own.records("ws_open")[0].at("token").as_string(), SAVED_ACCESS_TOKEN);

  // A token of the user's own (not the saved login) may go where the file says.
  result = machine.run({"--token", std::string(SESSION_TOKEN), "--query", "hi sim:stream=1"});
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  ASSERT_EQ(folder.records("ws_open").size(), 1u);
  EXPECT_EQ(folder.records("ws_open")[0].at("token").as_string(), SESSION_TOKEN);

  // So may a token the file brings itself.
  write_dotenv("QUILLON_URL=" + folder.ws_url() +
               "\nVELMORA_AUTH_TOKEN=" + std::string(SESSION_TOKEN) + "\n");
  result = machine.run({"--query", "hi sim:stream=1"});
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_EQ(folder.records("ws_open").size(), 2u);
  EXPECT_FALSE(folder_saw_saved_login());
}

TEST_F(DotenvTrust, AFileTrustedInATerminalIsRememberedForThoseEndpoints) {
  write_dotenv("QUILLON_URL=" + folder.ws_url() + "\n");
  {
    Terminal declined(machine, {"--query", "hi sim:stream=1"});
    ASSERT_TRUE(declined.wait_for("./.env sets QUILLON_URL=" + folder.ws_url() +
                                  "; use your saved login there? [y/N]"));
    declined.type("n");
    EXPECT_EQ(declined.wait_for_exit(), 1);
    EXPECT_FALSE(std::filesystem::exists(trust_file()));
  }
  EXPECT_FALSE(folder_saw_saved_login());

  {
    Terminal trusted(machine, {"--query", "hi sim:stream=1"});
    ASSERT_TRUE(trusted.wait_for("use your saved login there? [y/N]"));
    trusted.type("y");
    EXPECT_EQ(trusted.wait_for_exit(), 0);
  }
  ASSERT_EQ(folder.records("ws_open").size(), 1u);
  EXPECT_EQ(folder.records("ws_open")[0].at("token").as_string(), SAVED_ACCESS_TOKEN);
  struct stat info {};
  ASSERT_EQ(::stat(trust_file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // Remembered: a run without a terminal now goes ahead, and says where its endpoint is from.
  auto result = machine.run({"--query", "hi sim:stream=1", "--debug"});
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("url=QUILLON_URL in " + dotenv_path()));
  EXPECT_EQ(folder.records("ws_open").size(), 2u);

  // The same file pointing elsewhere is a new question.
  write_dotenv("QUILLON_URL=" + own.ws_url() + "\n");
  result = machine.run({"--query", "hi sim:stream=1"});
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("QUILLON_URL=" + own.ws_url()));
  EXPECT_TRUE(own.records("ws_handshake").empty());
}

TEST_F(DotenvTrust, ADamagedTrustFileTrustsNothingAndSaysSoOnce) {
  write_dotenv("QUILLON_URL=" + folder.ws_url() + "\n");
  velmora::testing::write_file(trust_file(), "{\"version\": 1, \"trusted\": [{\"file\": ");
  const auto result = machine.run({"--query", "hi sim:stream=1"});
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  EXPECT_EQ(velmora::testing::count_of(result.err, "is damaged"), 1u) << result.err;
  EXPECT_FALSE(folder_saw_saved_login());
}

TEST_F(DotenvTrust, LoginAtAnOAuthBaseTheFolderChoseStops) {
  write_dotenv("VELMORA_OAUTH_BASE_URL=" + folder.http_url() + "\n");
  machine.oauth_base_url.reset();
  const auto result = machine.run({"login"});
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("Login failed:"));
  EXPECT_THAT(result.out,
              HasSubstr(dotenv_path() + " sets VELMORA_OAUTH_BASE_URL=" + folder.http_url()));
  EXPECT_THAT(result.out, HasSubstr("set VELMORA_OAUTH_BASE_URL in the environment"));
  EXPECT_TRUE(folder.records("credentials").empty());
}

}  // namespace
