// A damaged sessions.db: one warning, the file moved aside byte for byte, a fresh store that
// saves again; the next run is quiet.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "velmora/session_store/session_store.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::SizeIs;
using velmora::session_store::VelmoraSessionStore;
using velmora::testing::read_file;
using velmora::testing::TempDir;
using velmora::testing::write_file;

struct DamagedStore : ::testing::Test {
  TempDir dir;
  fs::path db = dir.path() / "velmora" / "sessions.db";
  std::vector<std::string> warnings;

  VelmoraSessionStore open() {
    return VelmoraSessionStore([this](const std::string& w) { warnings.push_back(w); }, db);
  }

  /// A healthy file spanning many pages, closed (its journal checkpointed into it).
  std::string healthy_file() {
    {
      auto store = open();
      for (int i = 0; i < 200; ++i) {
        store.upsert_session({.thread_id = "old-" + std::to_string(i),
                              .endpoint = "ws://a",
                              .cwd = std::string(200, 'c')});
      }
    }
    EXPECT_FALSE(fs::exists(db.string() + "-wal"));
    return read_file(db);
  }

  std::vector<fs::path> set_aside_files() const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(db.parent_path())) {
      if (entry.path().filename().string().starts_with("sessions.db.damaged-") &&
          !entry.path().filename().string().ends_with("-shm")) {
        found.push_back(entry.path());
      }
    }
    return found;
  }
};

TEST_F(DamagedStore, IsMovedAsideWithOneWarningAndANewStoreSavesAgain) {
  const std::string healthy = healthy_file();
  ASSERT_GT(healthy.size(), 16384u);
  struct Case {
    const char* name;
    std::string content;
  } cases[] = {
      {"garbage", std::string(8192, '\x5a')},
      {"shorter than the header", healthy.substr(0, 50)},
      {"first page only", healthy.substr(0, 4096)},
      {"cut in half", healthy.substr(0, healthy.size() / 2)},
      {"a page overwritten",
       healthy.substr(0, 8192) + std::string(4096, '\x7f') + healthy.substr(12288)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(db.parent_path());
    write_file(db, c.content);
    warnings.clear();

    auto store = open();
    EXPECT_TRUE(store.available());
    store.upsert_session({.thread_id = "new", .endpoint = "ws://a"});
    store.update_conversation("new", "title");
    store.upsert_session({.thread_id = "newer", .endpoint = "ws://a"});

    ASSERT_THAT(warnings, SizeIs(1));
    const auto aside = set_aside_files();
    ASSERT_THAT(aside, SizeIs(1));
    EXPECT_THAT(warnings[0], HasSubstr(db.string() + " was damaged"));
    EXPECT_THAT(warnings[0], HasSubstr("moved to " + aside[0].string()));
    EXPECT_EQ(read_file(aside[0]), c.content);
    EXPECT_THAT(store.list_sessions(), SizeIs(2));

    warnings.clear();
    auto next_run = open();
    EXPECT_THAT(next_run.list_sessions(), SizeIs(2));
    EXPECT_TRUE(warnings.empty()) << warnings[0];
  }
}

TEST_F(DamagedStore, EmptyFileIsAnEmptyStore) {
  write_file(db, "");
  auto store = open();
  store.upsert_session({.thread_id = "t1"});
  EXPECT_THAT(store.list_sessions(), SizeIs(1));
  EXPECT_TRUE(warnings.empty());
  EXPECT_TRUE(set_aside_files().empty());
}

TEST_F(DamagedStore, JournalMovesWithTheFileItBelongsTo) {
  write_file(db, std::string(8192, '\x5a'));
  write_file(db.string() + "-wal", "journal bytes");
  auto store = open();
  store.upsert_session({.thread_id = "t1"});
  const auto aside = set_aside_files();
  ASSERT_THAT(aside, SizeIs(2));  // the file and its journal
  EXPECT_EQ(read_file(aside[0].string().ends_with("-wal") ? aside[0] : aside[1]), "journal bytes");
  EXPECT_THAT(store.list_sessions(), SizeIs(1));
  EXPECT_THAT(warnings, SizeIs(1));
}

TEST_F(DamagedStore, SecondDamageTheSameSecondGetsItsOwnName) {
  for (int run = 0; run < 2; ++run) {
    write_file(db, std::string(8192, static_cast<char>('a' + run)));
    auto store = open();
    EXPECT_TRUE(store.available());
  }
  const auto aside = set_aside_files();
  ASSERT_THAT(aside, SizeIs(2));
  EXPECT_NE(read_file(aside[0]), read_file(aside[1]));
}

}  // namespace
