// Websocket sessions of the simulator binary over loopback: binding, replay, demo turns,
// questions, interrupt, terminate, heartbeats and what the record keeps.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim_client.hpp"
#include "sim_process.hpp"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using velmora::agent_sim::testing::joined_deltas;
using velmora::agent_sim::testing::types_of;
using velmora::agent_sim::testing::WsClient;
using velmora::agent_sim::testing::WsFrame;
using velmora::testing::SimProcess;

boost::json::object query(const std::string& text) {
  return {
      {"type", "query"}, {"query", text}, {"user_id", "u1"}, {"attachments", boost::json::array{}}};
}

boost::json::object metadata_of(WsClient& client) {
  const auto frame = client.read();
  EXPECT_TRUE(frame) << client.end_reason();
  return frame ? frame->json() : boost::json::object{};
}

std::string str(const boost::json::value& v) { return std::string(v.as_string()); }

class SimSession : public ::testing::Test {
 protected:
  SimProcess sim{{"--pace", "0"}};
};

TEST_F(SimSession, BindsAFreshThreadInBothUrlForms) {
  for (const std::string target :
       {"/ws/v3?userToken=t&User_language=en&user_id=u1", "/ws/u1?userToken=t"}) {
    WsClient client(sim.port(), target);
    ASSERT_TRUE(client.connected()) << client.end_reason();
    const auto meta = metadata_of(client);
    EXPECT_EQ(meta.at("type"), "metadata");
    EXPECT_EQ(meta.at("is_new"), true);
    EXPECT_THAT(str(meta.at("thread_id")), ::testing::MatchesRegex("[0-9a-f-]{36}"));
  }
  const auto opened = sim.wait_for_records("ws_open", 2);
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0].at("url_form"), "v3");
  EXPECT_EQ(opened[0].at("language"), "en");
  EXPECT_EQ(opened[1].at("url_form"), "path");
  EXPECT_EQ(opened[1].at("user_id"), "u1");
}

TEST_F(SimSession, ADemoTurnStreamsAMarkdownAnswerThenCompletes) {
  WsClient client(sim.port(), "/ws/v3?userToken=t&thread_id=demo-1&user_id=u1");
  const auto meta = metadata_of(client);
  EXPECT_EQ(meta.at("thread_id"), "demo-1");
  EXPECT_EQ(meta.at("is_new"), true);
  ASSERT_TRUE(client.send_json(query("how do tides work?")));
  const auto frames = client.read_until("complete");
  const auto types = types_of(frames);
  ASSERT_FALSE(types.empty()) << client.end_reason();
  EXPECT_EQ(types.front(), "agent_thinking");
  EXPECT_EQ(types.back(), "complete");
  for (const char* kind : {"topic_message", "step_started", "tool_execution", "tool_completed",
                           "subagent_message", "text_delta"}) {
    EXPECT_THAT(types, ::testing::Contains(kind));
  }
  std::set<std::string> answer_ids;
  for (const auto& f : frames) {
    if (f.type() == "text_delta") answer_ids.insert(str(f.json().at("message_id")));
    if (f.type() == "topic_message") {
      EXPECT_EQ(f.json().at("message"), "How do tides work?");
    }
  }
  EXPECT_EQ(answer_ids.size(), 1u);
  const std::string answer = joined_deltas(frames);
  for (const char* part : {"## How do tides work?", "\n- ", "```python\n", "| Step | Result |"}) {
    EXPECT_THAT(answer, HasSubstr(part));
  }
  const auto complete = frames.back().json();
  EXPECT_GT(complete.at("usage").at("output_tokens").as_int64(), 0);
  EXPECT_TRUE(complete.at("duration_ms").is_int64());

  // No topic on the thread's second query.
  ASSERT_TRUE(client.send_json(query("and the moon?")));
  EXPECT_THAT(types_of(client.read_until("complete")),
              ::testing::Not(::testing::Contains("topic_message")));
}

TEST_F(SimSession, AKnownThreadReplaysItsHistoryAsSent) {
  std::vector<std::string> sent;
  {
    WsClient first(sim.port(), "/ws/u1?userToken=t&thread_id=keep-1&User_language=de");
    metadata_of(first);
    auto q = query("first question");
    q["scenario"] = "research";
    q["config"] = boost::json::object{{"devevaro_account", "7"}};
    ASSERT_TRUE(first.send_json(q));
    for (const auto& f : first.read_until("complete")) sent.push_back(f.data);
    first.close();
  }
  WsClient again(sim.port(), "/ws/u1?userToken=t&thread_id=keep-1");
  const auto meta = metadata_of(again);
  EXPECT_EQ(meta.at("thread_id"), "keep-1");
  EXPECT_EQ(meta.at("is_new"), false);
  const auto config = again.read();
  ASSERT_TRUE(config);
  EXPECT_EQ(config->json(), (boost::json::object{{"type", "config"},
                                                 {"config",
                                                  {{"thread_id", "keep-1"},
                                                   {"scenario", "research"},
                                                   {"user_language", "de"},
                                                   {"config", {{"devevaro_account", "7"}}}}}}));
  const auto replay = again.read_until("resume_complete");
  ASSERT_EQ(replay.size(), sent.size() + 1);
  for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(replay[i].data, sent[i]) << i;

  // Another user asking for the same thread gets a fresh one, without the history.
  WsClient stranger(sim.port(), "/ws/u2?userToken=t&thread_id=keep-1");
  const auto other = metadata_of(stranger);
  EXPECT_NE(other.at("thread_id"), "keep-1");
  EXPECT_EQ(other.at("is_new"), true);
}

TEST_F(SimSession, QuestionsWaitForTheAnswerAndUseIt) {
  WsClient client(sim.port(), "/ws/u1?userToken=t");
  metadata_of(client);
  ASSERT_TRUE(client.send_json(query("sim:ask report please")));
  const auto before = client.read_until("ask_message");
  ASSERT_EQ(before.back().type(), "ask_message");
  const auto ask = before.back().json();
  const auto& question = ask.at("questions").at(0);
  EXPECT_EQ(question.at("options").at(1).at("label"), "Detailed report");
  // An answer to another question is ignored; the right one is used.
  ASSERT_TRUE(client.send_json(
      {{"type", "ask_message"}, {"message_id", "stale"}, {"answers", {{"q", "wrong"}}}}));
  ASSERT_TRUE(client.send_json({{"type", "ask_user_input"},
                                {"message_id", ask.at("message_id")},
                                {"answers", {{str(question.at("question")), "Detailed report"}}}}));
  const auto after = client.read_until("complete");
  EXPECT_THAT(joined_deltas(after), HasSubstr("You answered: **Detailed report**"));
  EXPECT_THAT(joined_deltas(after), ::testing::Not(HasSubstr("wrong")));
}

TEST_F(SimSession, FreeFormQuestionAndOtherTriggers) {
  WsClient client(sim.port(), "/ws/u1?userToken=t");
  metadata_of(client);
  ASSERT_TRUE(client.send_json(query("sim:ask-free")));
  const auto ask = client.read_until("ask_message").back().json();
  EXPECT_FALSE(ask.at("questions").at(0).as_object().contains("options"));
  ASSERT_TRUE(client.send_json({{"type", "ask_message"},
                                {"message_id", ask.at("message_id")},
                                {"answers", {{"x", "tides"}}}}));
  EXPECT_THAT(joined_deltas(client.read_until("complete")), HasSubstr("**tides**"));

  ASSERT_TRUE(client.send_json(query("sim:plan")));
  const auto plan = client.read_until("complete");
  std::vector<std::string> last_statuses;
  for (const auto& f : plan) {
    if (f.type() != "collection_plan") continue;
    last_statuses.clear();
    const auto object = f.json();
    for (const auto& item : object.at("items").as_array()) {
      last_statuses.push_back(str(item.at("status")));
    }
  }
  EXPECT_THAT(last_statuses, ElementsAre("completed", "completed", "completed"));

  ASSERT_TRUE(client.send_json(query("sim:error")));
  EXPECT_THAT(types_of(client.read_until("complete")),
              ElementsAre("agent_thinking", "error", "complete"));
}

TEST_F(SimSession, InterruptEndsASlowStreamWithComplete) {
  SimProcess slow({"--pace", "0", "--slow-delay", "0.05", "--slow-count", "2000"});
  WsClient client(slow.port(), "/ws/u1?userToken=t");
  metadata_of(client);
  ASSERT_TRUE(client.send_json(query("sim:slow")));
  ASSERT_EQ(client.read_until("text_delta").back().type(), "text_delta");
  ASSERT_TRUE(client.send_json({{"type", "interrupt"}}));
  const auto rest = client.read_until("complete", 30);
  ASSERT_EQ(rest.back().type(), "complete");
  EXPECT_EQ(rest.back().json().at("status"), "interrupted");
  EXPECT_LT(rest.size(), 1000u);
  // The connection stays usable for the next query.
  ASSERT_TRUE(client.send_json(query("next")));
  EXPECT_EQ(client.read_until("complete").back().type(), "complete");
}

TEST_F(SimSession, OneTurnAtATimeAndBadFramesGetErrors) {
  SimProcess slow({"--pace", "0", "--slow-delay", "0.05"});
  WsClient client(slow.port(), "/ws/u1?userToken=t");
  metadata_of(client);
  ASSERT_TRUE(client.send_json(query("sim:slow")));
  ASSERT_TRUE(client.send_json(query("again")));
  ASSERT_TRUE(client.send_text("not json"));
  ASSERT_TRUE(client.send_binary(std::string("\xff\x00", 2)));
  ASSERT_TRUE(client.send_json({{"type", "query"}, {"query", 5}}));
  ASSERT_TRUE(client.send_json({{"type", "dance"}}));
  ASSERT_TRUE(client.send_json({{"type", "ask_message"}, {"answers", 1}}));
  std::vector<std::string> codes;
  while (codes.size() < 6) {
    const auto frame = client.read();
    ASSERT_TRUE(frame) << client.end_reason();
    if (frame->type() == "error") codes.push_back(str(frame->json().at("code")));
  }
  EXPECT_THAT(codes, ElementsAre("turn_in_progress", "invalid_frame", "invalid_frame",
                                 "invalid_query", "unknown_message", "invalid_answer"));
  const auto frames = slow.wait_for_records("ws_frame", 7);
  ASSERT_EQ(frames.size(), 7u);
  EXPECT_EQ(frames[2].at("raw"), "not json");
  EXPECT_EQ(frames[3].at("raw_hex"), "ff00");
  EXPECT_EQ(frames[3].at("binary"), true);
}

TEST_F(SimSession, TerminateAnswersTerminatedAndClosesNormally) {
  WsClient client(sim.port(), "/ws/u1?userToken=t");
  metadata_of(client);
  ASSERT_TRUE(client.send_json({{"type", "terminate"}}));
  const auto frames = client.read_until("never", 10);
  EXPECT_THAT(types_of(frames), ElementsAre("terminated"));
  EXPECT_EQ(client.end_reason(), "closed");
  const auto closed = sim.wait_for_records("ws_close", 1);
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_EQ(closed[0].at("reason"), "terminated");
}

TEST_F(SimSession, HeartbeatsArriveButAreNotReplayed) {
  SimProcess beating({"--pace", "0", "--heartbeat", "0.05"});
  {
    WsClient client(beating.port(), "/ws/u1?userToken=t&thread_id=hb");
    metadata_of(client);
    EXPECT_EQ(client.read_until("heartbeat").back().type(), "heartbeat");
    ASSERT_TRUE(client.send_json(query("hello")));
    client.read_until("complete");
    client.close();
  }
  WsClient again(beating.port(), "/ws/u1?userToken=t&thread_id=hb");
  metadata_of(again);
  // The replay runs from the config echo to resume_complete; heartbeats may interleave live,
  // but the history itself holds exactly one turn.
  const auto replay = again.read_until("resume_complete");
  std::size_t completes = 0;
  for (const auto& f : replay) completes += f.type() == "complete";
  EXPECT_EQ(completes, 1u);
}

TEST_F(SimSession, ThroughputModeStreamsEveryDelta) {
  SimProcess bench({"--throughput", "2000"});
  WsClient client(bench.port(), "/ws/u1?userToken=t&thread_id=bench");
  metadata_of(client);
  ASSERT_TRUE(client.send_json(query("go")));
  const auto frames = client.read_until("complete", 60);
  ASSERT_EQ(frames.size(), 2001u);
  EXPECT_THAT(joined_deltas(frames), ::testing::StartsWith("token0 token1 "));
  EXPECT_THAT(joined_deltas(frames), ::testing::EndsWith("token1999\n\n"));
  client.close();

  // The replay holds the same answer as one joined delta.
  WsClient again(bench.port(), "/ws/u1?userToken=t&thread_id=bench");
  metadata_of(again);
  const auto replay = again.read_until("resume_complete");
  EXPECT_EQ(joined_deltas(replay), joined_deltas(frames));
}

}  // namespace
