// Many CLIs saving sessions into one sessions.db at the same moment (each a real process running
// the real store): no row lost, no warning, a sound file.
#include <sqlite3.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "velmora/session_store/session_store.hpp"

namespace {

using ::testing::IsEmpty;
using velmora::session_store::VelmoraSessionStore;
using velmora::testing::ChildProcess;
using velmora::testing::TempDir;

constexpr int PROCESSES = 20;
constexpr int SESSIONS_EACH = 20;  // 400 rows: below the pruning bound, so every row must stay

std::string integrity_of(const std::filesystem::path& db) {
  sqlite3* handle = nullptr;
  if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(handle);
    return "cannot open";
  }
  std::string verdict;
  sqlite3_exec(
      handle, "PRAGMA integrity_check",
      [](void* out, int, char** values, char**) {
        *static_cast<std::string*>(out) += values[0] != nullptr ? values[0] : "NULL";
        return 0;
      },
      &verdict, nullptr);
  sqlite3_close(handle);
  return verdict;
}

TEST(StoreConcurrency, TwentyProcessesUpsertingAtOnceLoseNoRow) {
  static_assert(PROCESSES * SESSIONS_EACH < velmora::session_store::MAX_SAVED_SESSIONS);
  TempDir dir;
  // No file yet: creating the database and its schema is part of the race.
  const auto db = dir.path() / "state" / "velmora" / "sessions.db";

  std::vector<std::unique_ptr<ChildProcess>> children;
  for (int p = 0; p < PROCESSES; ++p) {
    children.push_back(std::make_unique<ChildProcess>(
        STORE_UPSERT_BIN,
        velmora::testing::ProcessOptions{
            .args = {db.string(), "cli" + std::to_string(p), std::to_string(SESSIONS_EACH)}}));
  }
  for (auto& child : children) {
    const auto result = child->wait(300);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_THAT(result.err, IsEmpty());
  }

  EXPECT_EQ(integrity_of(db), "ok");
  std::vector<std::string> warnings;
  VelmoraSessionStore store([&](const std::string& w) { warnings.push_back(w); }, db);
  const auto records = store.list_sessions(1000);
  EXPECT_THAT(warnings, IsEmpty());
  std::set<std::string> threads;
  for (const auto& record : records) {
    const std::string thread(record.at("thread_id").as_string());
    threads.insert(thread);
    EXPECT_EQ(record.at("conversation").as_string(), "title of " + thread);
  }
  EXPECT_EQ(threads.size(), static_cast<std::size_t>(PROCESSES * SESSIONS_EACH));
  EXPECT_EQ(records.size(), threads.size());
}

}  // namespace
