// No whole token in anything the client prints, even with --debug: one-shots, the shell, login,
// refresh, a failed upgrade and the failures of connecting. The debug lines' first 8 characters
// are the one form a token may take.
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "sim_process.hpp"
#include "test_support.hpp"
#include "test_tokens.hpp"

namespace {

using ::testing::HasSubstr;
using velmora::testing::ProcessOptions;
using velmora::testing::REVOKED_TOKEN;
using velmora::testing::SAVED_REFRESH_TOKEN;
using velmora::testing::SESSION_TOKEN;
using velmora::testing::SimProcess;
using velmora::testing::TempDir;

// Whole tokens in `text`: the suite's own and any the simulator issued.
std::vector<std::string> whole_tokens_in(const std::string& text,
                                         const std::vector<std::string>& also) {
  std::vector<std::string> found;
  for (const auto token : velmora::testing::TEST_TOKENS) {
    if (text.find(token) != std::string::npos) found.emplace_back(token);
  }
  for (const auto& token : also) {
    if (!token.empty() && text.find(token) != std::string::npos) found.push_back(token);
  }
  static const std::regex issued("(^|[^A-Za-z0-9])([ar]t-[0-9a-f]{32})(?![0-9a-f])");
  for (std::sregex_iterator it(text.begin(), text.end(), issued), end; it != end; ++it) {
    found.push_back((*it)[2]);
  }
  return found;
}

struct Scenario {
  const char* name;
  std::vector<std::string> sim_args;
  /// Saved login: access token and its expiry (none: no saved login).
  std::optional<std::string> saved_access;
  std::vector<std::string> args;
  std::map<std::string, std::optional<std::string>> env;
  std::string stdin_data;
  /// Something the output shows, proving the scenario ran the path it is named for.
  std::string shows;
};

TEST(DebugOutput, ShowsNoWholeToken) {
  const std::string token(SESSION_TOKEN);
  const Scenario scenarios[] = {
      {"one-shot with an attachment",
       {},
       std::nullopt,
       {"--token", token, "--user-id", "u1", "--attachment", "a.txt", "--query", "hi"},
       {},
       "",
       "[DEBUG][FILE_API][RESPONSE]"},
      {"one-shot with a token as short as the debug form",
       {"--token", std::string(velmora::testing::SHORT_TOKEN) + "=u1"},
       std::nullopt,
       {"--token", std::string(velmora::testing::SHORT_TOKEN), "--user-id", "u1", "--query", "hi"},
       {},
       "",
       "userToken=vtkQ…"},
      {"one-shot with the token from the environment and an error frame",
       {},
       std::nullopt,
       {"--user-id", "u1", "--query", "sim:error"},
       {{"VELMORA_AUTH_TOKEN", token}},
       "",
       "[DEBUG][RECV]"},
      {"shell on pipes",
       {},
       std::nullopt,
       {"--token", token, "--user-id", "u1"},
       {},
       "hello\n/thread\n/exit\n",
       "[DEBUG][SESSION]"},
      {"login", {}, std::nullopt, {"--debug", "login"}, {}, "", "poll response"},
      {"saved login refreshed after the service refused it",
       {"--revoke-token", std::string(REVOKED_TOKEN), "--refresh-token",
        std::string(SAVED_REFRESH_TOKEN) + "=sim-user"},
       std::string(REVOKED_TOKEN),
       {"--query", "hi"},
       {},
       "",
       "[DEBUG][SESSION]"},
      {"refused token with no way to refresh",
       {"--revoke-token", token},
       std::nullopt,
       {"--token", token, "--query", "hi"},
       {},
       "",
       "The provided token is invalid or expired."},
      {"handshake refused",
       {"--reject-handshakes", "1000"},
       std::nullopt,
       {"--token", token, "--user-id", "u1", "--query", "hi"},
       {},
       "",
       "401"},
      {"nothing listening",
       {},
       std::nullopt,
       {"--url", "ws://127.0.0.1:1/ws/v3", "--token", token, "--user-id", "u1", "--query", "hi"},
       {},
       "",
       "Failed to reach the websocket endpoint."},
      {"connection dropped mid-answer",
       {"--drop-after-frames", "4"},
       std::nullopt,
       {"--token", token, "--user-id", "u1", "--query", "hi"},
       {},
       "",
       "[DEBUG][SESSION]"},
      {"upgrade failure",
       {},
       std::nullopt,
       {"--token", token, "--user-id", "u1", "--upgrade", "--wheel-server-url",
        "http://127.0.0.1:1/simple"},
       {},
       "",
       "Upgrade failed."},
  };
  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.name);
    std::vector<std::string> sim_args = {"--pace", "0",       "--device-interval",
                                         "0",      "--token", token + "=u1"};
    sim_args.insert(sim_args.end(), s.sim_args.begin(), s.sim_args.end());
    SimProcess sim(sim_args);
    TempDir home;
    const auto credentials = home.path() / "config" / "velmora" / "credentials.json";
    if (s.saved_access) {
      velmora::testing::write_file(credentials, boost::json::serialize(boost::json::object{
                                                    {"access_token", *s.saved_access},
                                                    {"refresh_token", SAVED_REFRESH_TOKEN},
                                                    {"expires_at", 4102444800.0},
                                                    {"oauth_base_url", sim.http_url()},
                                                    {"client_id", "velmora-cli"}}));
    }
    velmora::testing::write_file(home.path() / "a.txt", "attached\n");
    velmora::testing::write_file(home.path() / "bin" / "xdg-open", "#!/bin/sh\nexit 0\n");
    std::filesystem::permissions(home.path() / "bin" / "xdg-open",
                                 std::filesystem::perms::owner_all);

    ProcessOptions options;
    options.args = s.args;
    if (options.args.front() != "--debug") options.args.insert(options.args.begin(), "--debug");
    options.clean_env = true;
    options.cwd = home.path();
    const char* path = std::getenv("PATH");
    options.env = {{"HOME", home.path().string()},
                   {"PATH", (home.path() / "bin").string() + ":" + (path ? path : "/usr/bin")},
                   {"XDG_CONFIG_HOME", (home.path() / "config").string()},
                   {"XDG_STATE_HOME", (home.path() / "state").string()},
                   {"VELMORA_OAUTH_BASE_URL", sim.http_url()},
                   {"QUILLON_URL", sim.ws_url()},
                   {"QUILLON_FILE_API_URL", sim.http_url()},
                   {"TERM", "dumb"}};
    options.env.insert(s.env.begin(), s.env.end());
    options.stdin_data = s.stdin_data;
    options.timeout_seconds = 120;
    const auto r = velmora::testing::run_process(VELMORA_BIN, options);
    const std::string output = r.out + r.err;
    EXPECT_THAT(output, HasSubstr(s.shows)) << output;

    std::vector<std::string> saved;
    if (std::filesystem::exists(credentials)) {
      const auto login = boost::json::parse(velmora::testing::read_file(credentials)).as_object();
      for (const char* key : {"access_token", "refresh_token"}) {
        if (const auto* v = login.if_contains(key); v && v->is_string()) {
          saved.emplace_back(v->as_string());
        }
      }
    }
    EXPECT_THAT(whole_tokens_in(output, saved), ::testing::IsEmpty()) << output;
  }
}

}  // namespace
