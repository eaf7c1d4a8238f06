#include "velmora/session_setup.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_credentials.hpp"
#include "test_support.hpp"
#include "velmora/base/errors.hpp"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using velmora::Options;
using velmora::testing::FakeCredentials;

struct PrepareSession : ::testing::Test {
  velmora::testing::ScopedEnv env;
  velmora::testing::TempDir dir;
  std::shared_ptr<FakeCredentials> credentials = std::make_shared<FakeCredentials>();
  std::shared_ptr<velmora::term::StringSink> printed =
      std::make_shared<velmora::term::StringSink>();
  std::vector<bool> consoles_built;
  std::vector<std::string> upgrades;
  std::function<void()> upgrade_behaviour = [] {};

  PrepareSession() {
    for (const char* name :
         {"QUILLON_URL", "VELMORA_AUTH_TOKEN", "QUILLON_USER_ID", "QUILLON_WHEEL_SERVER_URL",
          "QUILLON_HIDE_SESSION_DETAILS", "VELMORA_ENABLE_PROMPT_SHELL"}) {
      env.unset(name);
    }
  }

  velmora::SessionSetupDeps deps() {
    velmora::SessionSetupDeps d;
    d.credentials = credentials;
    d.make_console = [this](bool plain) {
      consoles_built.push_back(plain);
      return std::make_shared<velmora::term::Console>(
          velmora::term::ConsoleOptions{.no_color = true}, printed);
    };
    d.self_upgrade = [this](const std::string& url, velmora::term::Console&) {
      upgrades.push_back(url);
      upgrade_behaviour();
    };
    d.runtime.dotenv_file = dir.path() / ".env";
    d.workspace_cwd = "/work/project";
    d.workspace_branch = "feature-x";
    return d;
  }
};

TEST_F(PrepareSession, StartUpFailuresAreRenderedAndEndWithStatusOne) {
  struct Case {
    std::function<void(Options&, FakeCredentials&)> arrange;
    std::vector<std::string> expected_texts;
  } cases[] = {
      {[](Options& a, FakeCredentials&) { a.config = "[1,2]"; },
       {"Invalid --config JSON.", "Pass a JSON object instead of an array, string, or number."}},
      {[](Options& a, FakeCredentials&) { a.token = "t"; },
       {"Missing websocket endpoint.", "Pass --url or set QUILLON_URL before running the CLI."}},
      {[](Options& a, FakeCredentials&) {
         a.token = "t";
         a.config = "{channel:feishu}";
       },
       {"Missing websocket endpoint.", "Tarnquist-style calls do not fall back to localhost."}},
      {[](Options& a, FakeCredentials& c) {
         a.url = "ws://x";
         a.user_id = "u1";
         c.user_answers = {std::optional<std::string>("u2")};
         a.token = "t";
       },
       {"Provided user_id does not match the token.", "Token identifies user 'u2'."}},
      {[](Options& a, FakeCredentials& c) {
         a.url = "ws://x";
         a.token = "t";
         c.user_answers = {velmora::testing::Rejected{"401 Unauthorized"}};
       },
       {"The provided token is invalid or expired.", "401 Unauthorized"}},
  };
  for (const auto& c : cases) {
    printed->clear();
    *credentials = FakeCredentials();
    Options args;
    c.arrange(args, *credentials);
    const auto outcome = velmora::prepare_session(args, deps());
    EXPECT_FALSE(outcome.setup.has_value());
    EXPECT_EQ(outcome.exit_status, 1);
    for (const auto& text : c.expected_texts) EXPECT_THAT(printed->text(), HasSubstr(text));
  }
}

TEST_F(PrepareSession, UpgradeRunsBeforeTheContractAndEndsTheRun) {
  Options args;
  args.upgrade = true;
  args.user_id = "u1";
  args.wheel_server_url = "http://wheels.test/";
  auto outcome = velmora::prepare_session(args, deps());
  EXPECT_FALSE(outcome.setup.has_value());
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_THAT(upgrades, ElementsAre("http://wheels.test"));
  EXPECT_THAT(printed->text(), Not(HasSubstr("Missing")));

  upgrade_behaviour = [] { throw velmora::base::RuntimeError(""); };
  outcome = velmora::prepare_session(args, deps());
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_THAT(printed->text(), HasSubstr("Upgrade failed."));
  EXPECT_THAT(printed->text(),
              HasSubstr("Check the wheel server URL and network connectivity, then retry."));
  EXPECT_THAT(printed->text(), HasSubstr("RuntimeError"));
}

TEST_F(PrepareSession, SuccessHandsOverConfigurationModesAndSystemPrompt) {
  credentials->user_answers = {std::optional<std::string>("u1")};
  Options args;
  args.url = "ws://agent.test";
  args.token = "t";
  args.query = "hello";
  args.system_prompt = "Be brief.";
  args.idle_finish_seconds = -3;
  args.config = "{channel:feishu}";
  auto outcome = velmora::prepare_session(args, deps());
  ASSERT_TRUE(outcome.setup.has_value()) << printed->text();
  const auto& s = *outcome.setup;
  EXPECT_EQ(s.cfg.url, "ws://agent.test");
  EXPECT_EQ(s.cfg.user_id, "u1");
  EXPECT_EQ(s.system_prompt, "Be brief.");
  EXPECT_TRUE(s.non_interactive);
  EXPECT_TRUE(s.plain_output);
  EXPECT_FALSE(s.show_shell_banner);
  EXPECT_TRUE(s.hide_session_details);
  EXPECT_EQ(s.idle_finish_seconds, 0.0);
  EXPECT_EQ(s.credentials, credentials);
  EXPECT_EQ(s.workspace_cwd, "/work/project");
  EXPECT_EQ(s.workspace_branch, "feature-x");
  ASSERT_TRUE(s.renderer);
  EXPECT_TRUE(s.renderer->plain_output());
  EXPECT_THAT(upgrades, IsEmpty());
  EXPECT_THAT(printed->text(), IsEmpty());
}

}  // namespace
