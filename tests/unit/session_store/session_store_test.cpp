#include "velmora/session_store/session_store.hpp"

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "velmora/platform/files.hpp"

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using velmora::session_store::format_utc_timestamp;
using velmora::session_store::MAX_SAVED_SESSIONS;
using velmora::session_store::SessionRecord;
using velmora::session_store::VelmoraSessionStore;
using velmora::testing::TempDir;

/// A clock that advances one second per reading, so every write has a distinct time.
struct SteppingClock {
  std::chrono::system_clock::time_point now =
      std::chrono::system_clock::time_point{} + std::chrono::seconds(1'700'000'000);
  std::chrono::system_clock::time_point operator()() { return now += 1s; }
};

struct StoreFixture : ::testing::Test {
  TempDir dir;
  std::filesystem::path db = dir.path() / "state" / "velmora" / "sessions.db";
  std::vector<std::string> warnings;
  std::shared_ptr<SteppingClock> clock = std::make_shared<SteppingClock>();

  std::unique_ptr<VelmoraSessionStore> open() {
    return std::make_unique<VelmoraSessionStore>(
        [this](const std::string& w) { warnings.push_back(w); }, db,
        [c = clock] { return (*c)(); });
  }
};

std::vector<std::string> thread_ids(const std::vector<SessionRecord>& records) {
  std::vector<std::string> ids;
  for (const auto& r : records) ids.emplace_back(r.at("thread_id").as_string());
  return ids;
}

TEST(FormatUtcTimestamp, FixedWidthUtcWithMicroseconds) {
  using std::chrono::system_clock;
  struct Case {
    system_clock::time_point when;
    const char* text;
  } cases[] = {
      {system_clock::time_point{}, "1970-01-01T00:00:00.000000Z"},
      {system_clock::time_point{} + std::chrono::microseconds(1'700'000'000'123'456),
       "2023-11-14T22:13:20.123456Z"},
      {system_clock::time_point{} - std::chrono::microseconds(1), "1969-12-31T23:59:59.999999Z"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_utc_timestamp(c.when), c.text);
}

TEST_F(StoreFixture, UpsertKeepsCreatedAtRefreshesTheRestAndListsNewestFirst) {
  auto store = open();
  ASSERT_TRUE(store->available());
  store->upsert_session({.thread_id = "t1",
                         .endpoint = "ws://a",
                         .user_id = "u1",
                         .language = "en",
                         .cwd = "/w",
                         .branch = "main"});
  store->upsert_session({.thread_id = "t2", .endpoint = "ws://a", .user_id = "u1"});
  store->upsert_session({.thread_id = "t1",
                         .endpoint = "ws://a",
                         .user_id = "u1",
                         .language = "ja",
                         .cwd = "/w2",
                         .branch = "dev"});

  const auto all = store->list_sessions();
  ASSERT_THAT(thread_ids(all), ElementsAre("t1", "t2"));
  const auto& t1 = all[0];
  EXPECT_EQ(t1.at("created_at").as_string(), "2023-11-14T22:13:21.000000Z");
  EXPECT_EQ(t1.at("updated_at").as_string(), "2023-11-14T22:13:23.000000Z");
  EXPECT_EQ(t1.at("language").as_string(), "ja");
  EXPECT_EQ(t1.at("cwd").as_string(), "/w2");
  EXPECT_EQ(t1.at("branch").as_string(), "dev");
  // Absent values are left out rather than stored as empty text.
  EXPECT_FALSE(all[1].contains("language"));
  EXPECT_FALSE(all[1].contains("conversation"));
}

TEST_F(StoreFixture, FiltersByEndpointAndUserAndHonoursLimit) {
  auto store = open();
  store->upsert_session({.thread_id = "a1", .endpoint = "ws://a", .user_id = "u1"});
  store->upsert_session({.thread_id = "a2", .endpoint = "ws://a", .user_id = "u2"});
  store->upsert_session({.thread_id = "b1", .endpoint = "ws://b", .user_id = "u1"});
  store->upsert_session({.thread_id = "a1b", .endpoint = "ws://a", .user_id = "u1"});

  struct Case {
    std::optional<std::string> endpoint, user;
    int limit;
    std::vector<std::string> expected;
  } cases[] = {
      {"ws://a", "u1", 20, {"a1b", "a1"}},
      {"ws://a", std::nullopt, 20, {"a1b", "a2", "a1"}},
      {std::nullopt, "u1", 20, {"a1b", "b1", "a1"}},
      {std::nullopt, std::nullopt, 2, {"a1b", "b1"}},
      {"ws://c", "u1", 20, {}},
      {std::nullopt, std::nullopt, 0, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(thread_ids(store->list_sessions(c.endpoint, c.user, c.limit)), c.expected)
        << c.endpoint.value_or("*") << " " << c.user.value_or("*") << " " << c.limit;
  }
}

TEST_F(StoreFixture, ConversationTitleIsStoredAndSurvivesLaterUpserts) {
  auto store = open();
  store->upsert_session({.thread_id = "t1", .endpoint = "ws://a"});
  store->upsert_session({.thread_id = "t2", .endpoint = "ws://a"});
  store->update_conversation("t1", "Quarterly report");
  store->update_conversation("missing", "ignored");
  store->upsert_session({.thread_id = "t1", .endpoint = "ws://a"});

  const auto all = store->list_sessions();
  ASSERT_THAT(thread_ids(all), ElementsAre("t1", "t2"));
  EXPECT_EQ(all[0].at("conversation").as_string(), "Quarterly report");
}

TEST_F(StoreFixture, PrunesToTheNewestRowsAndPersistsAcrossInstances) {
  {
    auto store = open();
    for (int i = 0; i < MAX_SAVED_SESSIONS + 3; ++i) {
      store->upsert_session({.thread_id = "t" + std::to_string(i), .endpoint = "ws://a"});
    }
  }
  auto reopened = open();
  const auto all = reopened->list_sessions(std::nullopt, std::nullopt, 10'000);
  ASSERT_EQ(all.size(), static_cast<std::size_t>(MAX_SAVED_SESSIONS));
  EXPECT_EQ(all.front().at("thread_id").as_string(), "t502");
  EXPECT_EQ(all.back().at("thread_id").as_string(), "t3");
  EXPECT_TRUE(warnings.empty());
}

TEST_F(StoreFixture, TwoOpenStoresShareTheFileThroughWal) {
  auto first = open();
  auto second = open();
  first->upsert_session({.thread_id = "from-first", .endpoint = "ws://a"});
  second->upsert_session({.thread_id = "from-second", .endpoint = "ws://a"});
  EXPECT_THAT(thread_ids(first->list_sessions()), ElementsAre("from-second", "from-first"));
  EXPECT_TRUE(std::filesystem::exists(db.string() + "-wal"));
}

TEST_F(StoreFixture, NewDatabaseIsPrivateToTheUser) {
  auto store = open();
  struct stat info {};
  ASSERT_EQ(::stat(db.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600);
  ASSERT_EQ(::stat(db.parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700);
}

TEST_F(StoreFixture, AStoreThatCannotBeMadePrivateSaysSoOnceAndStillSaves) {
  // A file system that refuses to change modes.
  const auto previous = velmora::platform::replace_chmod_call(+[](const char*, mode_t) {
    errno = EPERM;
    return -1;
  });
  auto store = open();
  velmora::platform::replace_chmod_call(previous);
  store->upsert_session({.thread_id = "t1"});
  EXPECT_THAT(thread_ids(store->list_sessions()), ElementsAre("t1"));
  ASSERT_EQ(warnings.size(), 1U) << ::testing::PrintToString(warnings);
  EXPECT_EQ(warnings[0],
            "Saved sessions may be readable by other users: mode 0700 could not be "
            "set on '" +
                db.parent_path().string() + "': Operation not permitted.");
}

TEST_F(StoreFixture, UnopenablePlacesWarnAndNeverThrow) {
  // A regular file where the folder should be, and a folder where the file should be.
  velmora::testing::write_file(dir.path() / "blocker", "x");
  const std::filesystem::path cases[] = {dir.path() / "blocker" / "velmora" / "sessions.db",
                                         dir.path()};
  for (const auto& path : cases) {
    warnings.clear();
    db = path;
    auto store = open();
    EXPECT_FALSE(store->available());
    store->upsert_session({.thread_id = "t1"});
    EXPECT_TRUE(store->list_sessions().empty());
    ASSERT_EQ(warnings.size(), 1u) << path;
    EXPECT_THAT(warnings[0], HasSubstr(path.string()));
  }
}

TEST(DefaultDatabasePath, FollowsXdgStateHomeElseHome) {
  velmora::testing::ScopedEnv env;
  env.set("HOME", "/home/someone");
  env.set("XDG_STATE_HOME", "/var/state");
  EXPECT_EQ(velmora::session_store::default_database_path(), "/var/state/velmora/sessions.db");
  env.set("XDG_STATE_HOME", "relative/state");
  EXPECT_EQ(velmora::session_store::default_database_path(),
            "/home/someone/.local/state/velmora/sessions.db");
  env.unset("XDG_STATE_HOME");
  EXPECT_EQ(velmora::session_store::default_database_path(),
            "/home/someone/.local/state/velmora/sessions.db");
}

}  // namespace
