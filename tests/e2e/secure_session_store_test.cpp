// sessions.db under the real binary: a damaged file costs a one-shot nothing but one warning
// saying where the old file went, and many one-shots ending together all save their sessions.
#include <memory>
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "session_machine.hpp"
#include "velmora/session_store/session_store.hpp"

namespace {

using session_e2e::SessionMachine;
using session_e2e::SimProcess;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::SizeIs;
using velmora::session_store::VelmoraSessionStore;

std::size_t count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

TEST(DamagedSessionStore, OneShotAnswersWarnsOnceAndSavesAnew) {
  struct Case {
    const char* name;
    bool truncated;  // else garbage
  } cases[] = {{"truncated", true}, {"garbage", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimProcess sim({"--pace", "0"});
    SessionMachine machine;
    // Brackets in the folder name must reach the user as they are, not as console mark-up.
    const auto state = machine.home() / "state [x]";
    const auto db = state / "velmora" / "sessions.db";
    std::string damaged;
    if (c.truncated) {
      {
        VelmoraSessionStore store({}, db);
        for (int i = 0; i < 200; ++i) {
          store.upsert_session(
              {.thread_id = "old-" + std::to_string(i), .cwd = std::string(300, 'c')});
        }
      }
      const auto whole = velmora::testing::read_file(db);
      damaged = whole.substr(0, whole.size() / 2);
    } else {
      damaged = std::string(10000, '\x17');
    }
    velmora::testing::write_file(db, damaged);

    auto env = machine.env();
    env["XDG_STATE_HOME"] = state.string();
    velmora::testing::ProcessOptions options;
    options.args = session_e2e::session_args(sim, {"--query", "hello sim:stream=2"});
    options.env = env;
    options.cwd = machine.home();
    const auto r = velmora::testing::run_process(VELMORA_BIN, options);
    const std::string output = r.out + r.err;
    EXPECT_EQ(r.exit_code, 0) << output;
    EXPECT_THAT(r.out, HasSubstr("token0 token1"));
    EXPECT_EQ(count(output, " was damaged"), 1u) << output;
    EXPECT_THAT(output, HasSubstr(db.string() + " was damaged"));
    EXPECT_THAT(output, HasSubstr("it was moved to " + db.string() + ".damaged-"));

    std::vector<std::filesystem::path> aside;
    for (const auto& entry : std::filesystem::directory_iterator(db.parent_path())) {
      const auto name = entry.path().filename().string();
      if (name.starts_with("sessions.db.damaged-") && !name.ends_with("-shm")) {
        aside.push_back(entry.path());
      }
    }
    ASSERT_THAT(aside, SizeIs(1));
    EXPECT_EQ(velmora::testing::read_file(aside[0]), damaged);

    std::vector<std::string> warnings;
    VelmoraSessionStore store([&](const std::string& w) { warnings.push_back(w); }, db);
    const auto saved = store.list_sessions(10);
    ASSERT_THAT(saved, SizeIs(1));
    EXPECT_EQ(saved[0].at("thread_id"), sim.records("ws_open").at(0).at("thread_id"));
    EXPECT_TRUE(warnings.empty());
  }
}

TEST(SharedSessionStore, TwentyOneShotsAtOnceAreAllSaved) {
  constexpr int CLIS = 20;
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  std::vector<std::unique_ptr<velmora::testing::ChildProcess>> children;
  for (int i = 0; i < CLIS; ++i) {
    children.push_back(std::make_unique<velmora::testing::ChildProcess>(
        VELMORA_BIN, machine.options_for(session_e2e::session_args(
                         sim, {"--query", "q" + std::to_string(i) + " sim:stream=1"}))));
    children.back()->close_stdin();
  }
  for (auto& child : children) {
    const auto r = child->wait(240);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_THAT(r.out + r.err, Not(HasSubstr("sessions.db"))) << "a store warning";
  }

  std::set<std::string> bound;
  for (const auto& open : sim.records("ws_open")) {
    bound.emplace(open.at("thread_id").as_string());
  }
  ASSERT_EQ(bound.size(), static_cast<std::size_t>(CLIS));
  std::vector<std::string> warnings;
  VelmoraSessionStore store([&](const std::string& w) { warnings.push_back(w); },
                            machine.home() / "state" / "velmora" / "sessions.db");
  std::set<std::string> saved;
  for (const auto& record : store.list_sessions(100)) {
    saved.emplace(record.at("thread_id").as_string());
  }
  EXPECT_EQ(saved, bound);
  EXPECT_TRUE(warnings.empty());
}

}  // namespace
