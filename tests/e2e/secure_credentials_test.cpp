// The saved login through the real binary: private after a login and after a refresh, whatever
// the folder and an older file allowed; CLIs refreshing at once all succeed, spend the refresh
// token once and leave one valid token saved.
#include <sys/stat.h>

#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "saved_login_home.hpp"

namespace {

using ::testing::HasSubstr;
using ::testing::SizeIs;
using velmora::testing::ChildProcess;
using velmora::testing::ProcessOptions;
using velmora::testing::ProcessResult;
using velmora::testing::SAVED_ACCESS_TOKEN;
using velmora::testing::SAVED_REFRESH_TOKEN;
using velmora::testing::SimProcess;
using velmora::testing::TempDir;

constexpr int CLIS = 5;

struct SavedLoginMachine : session_e2e::SavedLoginHome {
  void save_login(const SimProcess& sim, std::string_view access, double expires_at) {
    SavedLoginHome::save_login(sim, access, SAVED_REFRESH_TOKEN, expires_at);
  }

  [[nodiscard]] std::string saved_access_token() const {
    return std::string(boost::json::parse(velmora::testing::read_file(credentials))
                           .as_object()
                           .at("access_token")
                           .as_string());
  }

  [[nodiscard]] mode_t credentials_mode() const {
    struct stat info {};
    EXPECT_EQ(::stat(credentials.c_str(), &info), 0);
    return info.st_mode & 0777;
  }

  /// Runs CLIS one-shots started together.
  std::vector<ProcessResult> run_together(const SimProcess& sim) {
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int i = 0; i < CLIS; ++i) {
      children.push_back(std::make_unique<ChildProcess>(
          VELMORA_BIN, options(sim, {"--query", "hello " + std::to_string(i)})));
      children.back()->close_stdin();
    }
    std::vector<ProcessResult> results;
    for (auto& child : children) results.push_back(child->wait(180));
    return results;
  }
};

using session_e2e::refreshes;

TEST_F(SavedLoginMachine, TokenFileIsPrivateAfterLoginAndAfterRefresh) {
  SimProcess sim({"--device-interval", "0", "--pace", "0", "--token-lifetime", "3600"});
  // An open folder and a readable older login, as an earlier tool or the user may have left.
  std::filesystem::create_directories(credentials.parent_path());
  ::chmod(credentials.parent_path().c_str(), 0755);
  save_login(sim, SAVED_ACCESS_TOKEN, 1.0);
  ::chmod(credentials.c_str(), 0644);

  std::filesystem::create_directories(home.path() / "bin");
  velmora::testing::write_file(home.path() / "bin" / "xdg-open", "#!/bin/sh\nexit 0\n");
  std::filesystem::permissions(home.path() / "bin" / "xdg-open", std::filesystem::perms::owner_all);
  const auto login = velmora::testing::run_process(VELMORA_BIN, options(sim, {"login"}));
  ASSERT_EQ(login.exit_code, 0) << login.out << login.err;
  EXPECT_EQ(credentials_mode(), 0600);
  const std::string logged_in = saved_access_token();

  // Expire it and open the file up again: the next run refreshes and saves it private.
  auto text = velmora::testing::read_file(credentials);
  auto login_json = boost::json::parse(text).as_object();
  login_json["expires_at"] = 1.0;
  velmora::testing::write_file(credentials, boost::json::serialize(login_json));
  ::chmod(credentials.c_str(), 0644);
  const auto run = velmora::testing::run_process(VELMORA_BIN, options(sim, {"--query", "hello"}));
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_EQ(refreshes(sim), 1U);
  EXPECT_NE(saved_access_token(), logged_in);
  EXPECT_EQ(credentials_mode(), 0600);
}

TEST_F(SavedLoginMachine, ClisRefreshingTogetherSpendTheRefreshTokenOnce) {
  struct Case {
    const char* name;
    std::vector<std::string> sim_args;
    double expires_at;
  } cases[] = {
      // Every CLI sees the saved token expired before it connects.
      {"expired", {}, 1.0},
      // The token looks fine locally but the service refuses it: each CLI finds out on its own.
      {"revoked", {"--revoke-token", std::string(SAVED_ACCESS_TOKEN)}, 4102444800.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"--pace", "0", "--strict-tokens", "--refresh-token",
                                     std::string(SAVED_REFRESH_TOKEN) + "=sim-user"};
    args.insert(args.end(), c.sim_args.begin(), c.sim_args.end());
    SimProcess sim(args);
    save_login(sim, SAVED_ACCESS_TOKEN, c.expires_at);

    for (const auto& r : run_together(sim)) {
      EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
      EXPECT_THAT(r.out, HasSubstr("thread_id="));
    }
    EXPECT_EQ(refreshes(sim), 1U);
    EXPECT_THAT(sim.records("ws_open"), SizeIs(CLIS));

    // What is saved is valid: a later run uses it as it is.
    const std::string saved = saved_access_token();
    EXPECT_NE(saved, SAVED_ACCESS_TOKEN);
    const auto later =
        velmora::testing::run_process(VELMORA_BIN, options(sim, {"--query", "again"}));
    EXPECT_EQ(later.exit_code, 0) << later.out << later.err;
    EXPECT_EQ(refreshes(sim), 1U);
    EXPECT_EQ(saved_access_token(), saved);
    EXPECT_EQ(credentials_mode(), 0600);
  }
}

}  // namespace
