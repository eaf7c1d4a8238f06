#include "thread_store.hpp"

#include <gtest/gtest.h>

#include "velmora/base/errors.hpp"
#include "velmora/base/json_text.hpp"

namespace {

using velmora::agent_sim::LastQuery;
using velmora::agent_sim::ThreadStore;

TEST(ThreadStore, BindsNewKnownForeignAndFreshThreads) {
  ThreadStore threads(100);
  const auto created = threads.bind(std::string("t1"), "alice", false);
  EXPECT_EQ(created.thread_id, "t1");
  EXPECT_TRUE(created.is_new);
  EXPECT_FALSE(created.replaced_request);

  const auto resumed = threads.bind(std::string("t1"), "alice", false);
  EXPECT_EQ(resumed.thread_id, "t1");
  EXPECT_FALSE(resumed.is_new);

  // Another user never sees alice's thread.
  const auto foreign = threads.bind(std::string("t1"), "bob", false);
  EXPECT_NE(foreign.thread_id, "t1");
  EXPECT_TRUE(foreign.is_new);
  EXPECT_TRUE(foreign.replaced_request);

  const auto forced = threads.bind(std::string("t1"), "alice", true);
  EXPECT_NE(forced.thread_id, "t1");
  EXPECT_TRUE(forced.replaced_request);

  const auto fresh = threads.bind(std::nullopt, "alice", false);
  EXPECT_EQ(fresh.thread_id.size(), 36u);
  EXPECT_EQ(fresh.thread_id[14], '4');
  EXPECT_TRUE(fresh.is_new);
  EXPECT_FALSE(fresh.replaced_request);
  EXPECT_NE(threads.bind(std::nullopt, "alice", false).thread_id, fresh.thread_id);
}

TEST(ThreadStore, KeepsTurnsInOrderAndDropsWholeOldTurnsOverTheLimit) {
  ThreadStore threads(5);
  threads.bind(std::string("t"), "u", false);
  for (int turn = 0; turn < 3; ++turn) {
    threads.begin_turn("t", LastQuery{"s" + std::to_string(turn), "en", std::nullopt});
    for (int frame = 0; frame < 2; ++frame) {
      threads.append_frame("t", std::to_string(turn) + "." + std::to_string(frame));
    }
  }
  const auto* record = threads.find("t");
  ASSERT_NE(record, nullptr);
  ASSERT_EQ(record->turns.size(), 2u);
  EXPECT_EQ(record->turns.front(), (std::vector<std::string>{"1.0", "1.1"}));
  EXPECT_EQ(record->turns.back(), (std::vector<std::string>{"2.0", "2.1"}));
  EXPECT_EQ(record->frame_count, 4u);
  EXPECT_EQ(record->query_count, 3u);
  EXPECT_EQ(record->last_query->scenario, "s2");

  // The running turn is kept whole even when it alone passes the limit.
  threads.begin_turn("t", {});
  for (int frame = 0; frame < 7; ++frame) threads.append_frame("t", "big");
  EXPECT_EQ(threads.find("t")->turns.size(), 1u);
  EXPECT_EQ(threads.find("t")->frame_count, 7u);
}

TEST(ThreadStore, SavedThreadsComeBackAndMalformedOnesAreRefused) {
  ThreadStore threads(100);
  threads.bind(std::string("t"), "u", false);
  threads.begin_turn("t", LastQuery{"demo", "fr", boost::json::object{{"k", 1}}});
  threads.append_frame("t", R"({"type": "complete"})");
  EXPECT_TRUE(threads.take_dirty());

  ThreadStore restored(100);
  restored.load_json(threads.to_json());
  const auto* record = restored.find("t");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->user_id, "u");
  EXPECT_EQ(record->turns.at(0).at(0), R"({"type": "complete"})");
  EXPECT_EQ(record->last_query->language, "fr");
  EXPECT_EQ(record->last_query->config, (boost::json::object{{"k", 1}}));
  EXPECT_FALSE(restored.bind(std::string("t"), "u", false).is_new);

  for (const auto& bad :
       {boost::json::object{{"t", 1}}, boost::json::object{{"t", {{"user_id", "u"}}}},
        boost::json::object{{"t", {{"user_id", "u"}, {"turns", {{1}}}}}}}) {
    ThreadStore target(100);
    EXPECT_THROW(target.load_json(bad), velmora::base::RuntimeError)
        << velmora::base::json_dumps(bad);
  }
}

}  // namespace
