// `velmora login` / `logout` through the real binary against the simulator's credentials
// service, with a fake browser that records the address it was asked to open.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "sim_process.hpp"
#include "test_support.hpp"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::ProcessOptions;
using velmora::testing::ProcessResult;
using velmora::testing::run_process;
using velmora::testing::SimProcess;
using velmora::testing::TempDir;

// A user's machine: own config folder, a browser that only writes down the address.
class LoginMachine {
 public:
  LoginMachine() {
    std::filesystem::create_directories(bin());
    velmora::testing::write_file(
        bin() / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > \"" + opened_file().string() + "\"\n");
    std::filesystem::permissions(bin() / "xdg-open", std::filesystem::perms::owner_all);
  }

  [[nodiscard]] std::filesystem::path bin() const { return home_.path() / "bin"; }
  [[nodiscard]] std::filesystem::path opened_file() const { return home_.path() / "opened"; }
  [[nodiscard]] std::filesystem::path credentials() const {
    return home_.path() / "config" / "velmora" / "credentials.json";
  }
  [[nodiscard]] const std::filesystem::path& home() const { return home_.path(); }

  ProcessResult velmora(std::vector<std::string> args,
                        const std::optional<std::string>& oauth_base_url) const {
    ProcessOptions options;
    options.args = std::move(args);
    options.cwd = home_.path();
    const char* path = std::getenv("PATH");
    options.env = {{"HOME", home_.path().string()},
                   {"XDG_CONFIG_HOME", (home_.path() / "config").string()},
                   {"XDG_STATE_HOME", (home_.path() / "state").string()},
                   {"PATH", bin().string() + ":" + (path ? path : "/usr/bin:/bin")},
                   {"VELMORA_OAUTH_BASE_URL", oauth_base_url},
                   {"VELMORA_OAUTH_CLIENT_ID", std::nullopt},
                   {"TERM", "xterm-256color"},
                   {"NO_COLOR", std::nullopt}};
    options.timeout_seconds = 90;
    return run_process(VELMORA_BIN, options);
  }

  // The fake browser runs detached; give it time to write.
  [[nodiscard]] std::optional<std::string> opened_address() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      if (std::filesystem::exists(opened_file())) {
        const auto text = velmora::testing::read_file(opened_file());
        if (!text.empty()) return text;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
  }

 private:
  TempDir home_;
};

std::vector<std::string> sim_args(const char* outcome) {
  return {"--device-outcome",       outcome, "--device-interval", "0",
          "--device-pending-polls", "1",     "--login-user",      "user[7]"};
}

TEST(CliLogin, DeviceLoginSavesPrivateTokensThenLogoutForgetsThem) {
  SimProcess sim(sim_args("approve"));
  LoginMachine machine;

  const auto login = machine.velmora({"login"}, sim.http_url());
  ASSERT_EQ(login.exit_code, 0) << login.out << login.err;
  EXPECT_THAT(login.out, HasSubstr("Opening browser for login…\n"
                                   "If the browser did not open, copy this URL:\n"));
  EXPECT_THAT(login.out, ::testing::EndsWith("Login successful!  user_id=user[7]\n"));
  EXPECT_THAT(login.out, Not(HasSubstr("poll response")));
  EXPECT_EQ(login.out.find('\x1b'), std::string::npos);

  const auto opened = machine.opened_address();
  ASSERT_TRUE(opened.has_value()) << "the browser was not started";
  EXPECT_THAT(*opened, ::testing::StartsWith(sim.http_url()));
  EXPECT_THAT(login.out, HasSubstr("copy this URL:\n" + *opened + "\n"));

  ASSERT_TRUE(std::filesystem::exists(machine.credentials()));
  struct stat info {};
  ASSERT_EQ(::stat(machine.credentials().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600);

  const auto first = machine.velmora({"logout"}, std::nullopt);
  EXPECT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(first.out, "Logged out successfully. Saved tokens have been removed.\n");
  EXPECT_FALSE(std::filesystem::exists(machine.credentials()));
  const auto second = machine.velmora({"logout"}, std::nullopt);
  EXPECT_EQ(second.exit_code, 0) << second.err;
  EXPECT_EQ(second.out, "No saved tokens found — already logged out.\n");
}

TEST(CliLogin, DeniedLoginFailsWithStatusOne) {
  SimProcess sim(sim_args("deny"));
  LoginMachine machine;
  const auto login = machine.velmora({"login"}, sim.http_url());
  EXPECT_EQ(login.exit_code, 1) << login.out << login.err;
  EXPECT_THAT(login.out, HasSubstr("\nLogin failed: "));
  EXPECT_THAT(login.out, Not(HasSubstr("Login successful")));
  EXPECT_FALSE(std::filesystem::exists(machine.credentials()));
}

TEST(CliLogin, DebugShowsPollResponsesWithoutWholeTokens) {
  SimProcess sim(sim_args("approve"));
  LoginMachine machine;
  const auto login = machine.velmora({"--debug", "login"}, sim.http_url());
  ASSERT_EQ(login.exit_code, 0) << login.out << login.err;
  EXPECT_THAT(login.out, HasSubstr("poll response: {\"error\": \"authorization_pending\""));
  EXPECT_THAT(login.out, HasSubstr("\"access_token\": \""));

  const auto saved = velmora::testing::read_file(machine.credentials());
  for (const char* key : {"access_token", "refresh_token"}) {
    const std::string marker = std::string("\"") + key + "\": \"";
    const auto at = saved.find(marker);
    ASSERT_NE(at, std::string::npos) << key;
    const auto start = at + marker.size();
    const std::string token = saved.substr(start, saved.find('"', start) - start);
    ASSERT_GT(token.size(), 8U) << key;
    EXPECT_THAT(login.out, Not(HasSubstr(token))) << key;
    EXPECT_THAT(login.out, HasSubstr(token.substr(0, 8) + "…")) << key;
  }
}

TEST(CliLogin, ServiceAddressComesFromDotenvOnceThatFileIsTrusted) {
  SimProcess sim(sim_args("approve"));
  LoginMachine machine;
  const auto dotenv = machine.home() / ".env";
  velmora::testing::write_file(
      dotenv, "# login settings\nexport VELMORA_OAUTH_BASE_URL=\"" + sim.http_url() + "\"\n");
  // As a run in a terminal leaves it after the user answered yes.
  velmora::testing::write_file(machine.home() / "state" / "velmora" / "dotenv_trust.json",
                               R"({"version": 1, "trusted": [{"file": ")" + dotenv.string() +
                                   R"(", "settings": {"VELMORA_OAUTH_BASE_URL": ")" +
                                   sim.http_url() + R"("}}]})");
  const auto login = machine.velmora({"login"}, std::nullopt);
  EXPECT_EQ(login.exit_code, 0) << login.out << login.err;
  EXPECT_THAT(login.out, HasSubstr("Login successful!  user_id=user[7]"));
}

TEST(CliLogin, NoServiceAddressIsAClearFailure) {
  LoginMachine machine;
  const auto login = machine.velmora({"login"}, std::nullopt);
  EXPECT_EQ(login.exit_code, 1);
  EXPECT_THAT(login.out, HasSubstr("Login failed: "));
  EXPECT_THAT(login.out, HasSubstr("VELMORA_OAUTH_BASE_URL"));
}

}  // namespace
