// A saved login that fails the user is said, once, in words that name the file and the cause:
// a damaged file, a refreshed login that could not be saved (the next run is told the login is
// out of date instead of meeting a mystery 401), a lock that cannot be taken (under --debug).
#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "saved_login_home.hpp"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::ProcessOptions;
using velmora::testing::ProcessResult;
using velmora::testing::SAVED_ACCESS_TOKEN;
using velmora::testing::SAVED_REFRESH_TOKEN;
using velmora::testing::SimProcess;
using velmora::testing::TempDir;

constexpr std::string_view OUT_OF_DATE = "saved login is out of date: run velmora login";

std::size_t occurrences(const std::string& text, std::string_view part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

struct SavedLoginFaults : session_e2e::SavedLoginHome {
  void save_login(const SimProcess& sim, std::string_view refresh, double expires_at) {
    SavedLoginHome::save_login(sim, SAVED_ACCESS_TOKEN, refresh, expires_at);
  }

  ProcessResult run(const SimProcess& sim, std::vector<std::string> args) const {
    return velmora::testing::run_process(VELMORA_BIN, options(sim, std::move(args)));
  }

  /// Runs velmora where no file may grow beyond `bytes` (as on a full disk): writes past it
  /// fail with EFBIG instead of killing the program.
  ProcessResult run_with_file_size_limit(const SimProcess& sim, std::size_t bytes,
                                         std::vector<std::string> args) const {
    std::vector<std::string> wrapped = {
        "-c", "trap '' XFSZ; exec prlimit --fsize=" + std::to_string(bytes) + " -- \"$@\"", "sh",
        VELMORA_BIN};
    wrapped.insert(wrapped.end(), args.begin(), args.end());
    return velmora::testing::run_process("/bin/sh", options(sim, std::move(wrapped)));
  }

  void install_browser_stub() const {
    std::filesystem::create_directories(home.path() / "bin");
    velmora::testing::write_file(home.path() / "bin" / "xdg-open", "#!/bin/sh\nexit 0\n");
    std::filesystem::permissions(home.path() / "bin" / "xdg-open",
                                 std::filesystem::perms::owner_all);
  }
};

using session_e2e::refreshes;

TEST_F(SavedLoginFaults, ADamagedOrUnreadableFileIsReportedOnceAndLeftInPlace) {
  SimProcess sim({"--pace", "0"});
  struct Case {
    const char* name;
    std::function<void()> make;
    const char* cause;
  } cases[] = {
      {"not JSON", [&] { velmora::testing::write_file(credentials, "{\"access_token\": "); },
       "it is not valid JSON"},
      {"no access token", [&] { velmora::testing::write_file(credentials, "{\"x\": 1}"); },
       "it holds no access token"},
      {"a folder", [&] { std::filesystem::create_directories(credentials); },
       "it cannot be read (Is a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(credentials);
    c.make();
    const bool folder = std::filesystem::is_directory(credentials);
    const std::string before = folder ? "" : velmora::testing::read_file(credentials);
    // A user id and no token: the run goes on without a login and the service refuses it.
    const auto r = run(sim, {"--user-id", "u1", "--query", "hello"});
    EXPECT_EQ(occurrences(r.err, "Warning: the saved login in " + credentials.string() +
                                     " cannot be used: " + c.cause),
              1U)
        << r.err;
    EXPECT_THAT(r.err, HasSubstr("velmora login replaces it")) << r.err;
    EXPECT_EQ(std::filesystem::is_directory(credentials), folder);
    if (!folder) {
      EXPECT_EQ(velmora::testing::read_file(credentials), before);
    }
  }
}

TEST_F(SavedLoginFaults, ARefreshThatCannotBeSavedIsSaidAndTheNextRunKnowsTheLoginIsOutOfDate) {
  SimProcess sim({"--pace", "0", "--strict-tokens", "--refresh-token",
                  std::string(SAVED_REFRESH_TOKEN) + "=sim-user"});
  save_login(sim, SAVED_REFRESH_TOKEN, 1.0);

  // Room for a record without tokens, not for a login.
  const auto first = run_with_file_size_limit(sim, 160, {"--query", "hello"});
  EXPECT_EQ(first.exit_code, 0) << first.out << first.err;
  EXPECT_THAT(first.out, HasSubstr("thread_id="));
  EXPECT_EQ(refreshes(sim), 1U);
  EXPECT_EQ(occurrences(first.err, "Warning: the refreshed login could not be saved to " +
                                       credentials.string() + ": "),
            1U)
      << first.err;
  EXPECT_THAT(first.err, HasSubstr("File too large"));
  EXPECT_THAT(first.err, HasSubstr("This run goes on with the new token"));
  // The spent refresh token is gone from the file.
  const auto saved = boost::json::parse(velmora::testing::read_file(credentials)).as_object();
  EXPECT_TRUE(saved.contains("stale"));
  EXPECT_FALSE(saved.contains("refresh_token"));
  EXPECT_FALSE(saved.contains("access_token"));

  // The next run says what happened instead of spending the refresh token again.
  const auto next = run(sim, {"--user-id", "sim-user", "--query", "hello"});
  EXPECT_EQ(occurrences(next.err, OUT_OF_DATE), 1U) << next.err;
  EXPECT_THAT(next.err, HasSubstr(credentials.string()));
  EXPECT_EQ(refreshes(sim), 1U);

  // Nothing could be written at all: the spent refresh token stays, and the service refusing
  // it is reported the same way.
  save_login(sim, "rt-spent-long-ago", 1.0);
  const auto spent = run(sim, {"--user-id", "sim-user", "--query", "hello"});
  EXPECT_EQ(occurrences(spent.err, OUT_OF_DATE), 1U) << spent.err;
  EXPECT_THAT(spent.err, HasSubstr("refused its refresh token"));
  EXPECT_THAT(spent.err, Not(HasSubstr("rt-spent-long-ago")));
}

TEST_F(SavedLoginFaults,
       WithoutTheLockARefreshIsSkippedWhileLoginAndLogoutGoAheadAllSaidUnderDebug) {
  SimProcess sim({"--pace", "0", "--device-interval", "0", "--refresh-token",
                  std::string(SAVED_REFRESH_TOKEN) + "=sim-user"});
  install_browser_stub();
  // A lock file that cannot be opened, whoever runs the program.
  auto lock = credentials;
  lock += ".lock";
  std::filesystem::create_directories(lock);

  save_login(sim, SAVED_REFRESH_TOKEN, 1.0);
  const auto quiet = run(sim, {"--user-id", "sim-user", "--query", "hello"});
  EXPECT_THAT(quiet.err, Not(HasSubstr("debug:")));
  const auto refresh = run(sim, {"--debug", "--user-id", "sim-user", "--query", "hello"});
  EXPECT_THAT(refresh.err, HasSubstr("debug: the saved login was not refreshed: its lock " +
                                     lock.string() + " could not be taken"))
      << refresh.err;
  EXPECT_EQ(refreshes(sim), 0U);

  const auto login = run(sim, {"--debug", "login"});
  EXPECT_EQ(login.exit_code, 0) << login.out << login.err;
  EXPECT_THAT(login.err,
              HasSubstr("debug: saving the new login without the lock " + lock.string()));
  EXPECT_THAT(velmora::testing::read_file(credentials), HasSubstr("at-"));

  const auto logout = run(sim, {"--debug", "logout"});
  EXPECT_EQ(logout.exit_code, 0) << logout.out << logout.err;
  EXPECT_THAT(logout.out, HasSubstr("Logged out successfully."));
  EXPECT_THAT(logout.err,
              HasSubstr("debug: removing the saved login without the lock " + lock.string()));
  EXPECT_FALSE(std::filesystem::exists(credentials));
}

}  // namespace
