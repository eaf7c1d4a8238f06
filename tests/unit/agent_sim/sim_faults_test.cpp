// Injected faults and script files, against the simulator binary over loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "sim_client.hpp"
#include "sim_process.hpp"
#include "test_support.hpp"

namespace {

using ::testing::ElementsAre;
using velmora::agent_sim::testing::types_of;
using velmora::agent_sim::testing::WsClient;
using velmora::agent_sim::testing::WsFrame;
using velmora::testing::SimProcess;
using velmora::testing::TempDir;

boost::json::object query(const std::string& text) {
  return {
      {"type", "query"}, {"query", text}, {"user_id", "u1"}, {"attachments", boost::json::array{}}};
}

// Every frame until the connection ends or stays quiet for `quiet` seconds.
std::vector<WsFrame> drain(WsClient& client, double quiet = 10) {
  std::vector<WsFrame> frames;
  while (auto frame = client.read(quiet)) frames.push_back(std::move(*frame));
  return frames;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(SimFaults, HandshakesRefusedByCountRevocationOrStrictness) {
  SimProcess sim({"--reject-handshakes", "1", "--revoke-token", "old", "--token", "mine=u1"});
  WsClient refused(sim.port(), "/ws/u1?userToken=mine");
  EXPECT_FALSE(refused.connected());
  EXPECT_EQ(refused.handshake_status(), 401);
  EXPECT_EQ(WsClient(sim.port(), "/ws/u1?userToken=mine").handshake_status(), 101);
  EXPECT_EQ(WsClient(sim.port(), "/ws/u1?userToken=old").handshake_status(), 401);
  EXPECT_EQ(WsClient(sim.port(), "/ws/u1?thread_id=x").handshake_status(), 401);
  EXPECT_EQ(WsClient(sim.port(), "/ws/v3?userToken=mine").handshake_status(), 400);
  const auto handshakes = sim.wait_for_records("ws_handshake", 5);
  ASSERT_EQ(handshakes.size(), 5u);
  EXPECT_EQ(handshakes[0].at("reason"), "rejected by --reject-handshakes");
  EXPECT_EQ(handshakes[2].at("reason"), "token is not accepted");

  SimProcess strict({"--strict-tokens", "--token", "mine=u1"});
  EXPECT_EQ(WsClient(strict.port(), "/ws/u1?userToken=other").handshake_status(), 401);
  EXPECT_EQ(WsClient(strict.port(), "/ws/u1?userToken=mine").handshake_status(), 101);
}

TEST(SimFaults, DropAfterFramesCutsTheFirstConnectionWithoutCloseFrame) {
  SimProcess sim({"--pace", "0", "--drop-after-frames", "3"});
  WsClient first(sim.port(), "/ws/u1?userToken=t&thread_id=d1");
  ASSERT_TRUE(first.send_json(query("hello")));
  EXPECT_EQ(drain(first).size(), 3u);
  EXPECT_NE(first.end_reason(), "closed");
  EXPECT_NE(first.end_reason(), "timeout");

  // Later connections are healthy; the partial turn is the thread's history.
  WsClient second(sim.port(), "/ws/u1?userToken=t&thread_id=d1");
  const auto replay = second.read_until("resume_complete");
  EXPECT_THAT(types_of(replay), ElementsAre("metadata", "config", "agent_thinking", "topic_message",
                                            "resume_complete"));
  ASSERT_TRUE(second.send_json(query("again")));
  EXPECT_EQ(second.read_until("complete").back().type(), "complete");
  const auto faults = sim.wait_for_records("ws_fault", 1);
  EXPECT_EQ(faults.at(0).at("fault"), "drop");
  EXPECT_EQ(faults.at(0).at("frames_sent"), 3);
}

TEST(SimFaults, FaultConnectionsZeroHitsEveryConnection) {
  SimProcess sim({"--pace", "0", "--drop-after-frames", "1", "--fault-connections", "0"});
  for (int i = 0; i < 3; ++i) {
    WsClient client(sim.port(), "/ws/u1?userToken=t");
    EXPECT_EQ(drain(client).size(), 1u) << i;
  }
}

TEST(SimFaults, GarbageBinaryAndOversizedFramesOpenTheFirstTurn) {
  SimProcess sim(
      {"--pace", "0", "--send-non-json", "--send-binary", "--oversized-frame", "200000"});
  WsClient client(sim.port(), "/ws/u1?userToken=t");
  ASSERT_TRUE(client.read());  // metadata
  ASSERT_TRUE(client.send_json(query("hello")));
  const auto frames = client.read_until("complete");
  ASSERT_GE(frames.size(), 4u);
  EXPECT_EQ(frames[0].data, "this frame is not JSON {");
  EXPECT_TRUE(frames[1].binary);
  EXPECT_EQ(frames[2].type(), "text_delta");
  EXPECT_EQ(frames[2].data.size(), 200000u);
  EXPECT_EQ(frames[3].type(), "agent_thinking");
  ASSERT_TRUE(client.send_json(query("second")));
  EXPECT_EQ(client.read_until("complete").front().type(), "agent_thinking");
}

TEST(SimFaults, StallSendsHalfAFrameThenNothing) {
  SimProcess sim({"--pace", "0", "--stall-after-frames", "2"});
  WsClient client(sim.port(), "/ws/u1?userToken=t");
  ASSERT_TRUE(client.send_json(query("hello")));
  // The half frame never completes: the read waits until its own time limit.
  EXPECT_EQ(drain(client, 1.5).size(), 2u);
  EXPECT_EQ(client.end_reason(), "timeout");
  EXPECT_EQ(sim.wait_for_records("ws_fault", 1).at(0).at("fault"), "stall");
}

TEST(SimFaults, DelayedMetadataAndHandshake) {
  SimProcess sim({"--metadata-delay", "0.4", "--handshake-delay", "0.3"});
  const auto start = std::chrono::steady_clock::now();
  WsClient client(sim.port(), "/ws/u1?userToken=t");
  ASSERT_TRUE(client.connected());
  EXPECT_GE(seconds_since(start), 0.25);
  const auto meta = client.read();
  ASSERT_TRUE(meta);
  EXPECT_EQ(meta->type(), "metadata");
  EXPECT_GE(seconds_since(start), 0.6);
}

TEST(SimFaults, OverrideThreadBindsAnotherThread) {
  SimProcess sim({"--override-thread"});
  WsClient client(sim.port(), "/ws/u1?userToken=t&thread_id=wanted");
  const auto meta = client.read()->json();
  EXPECT_NE(meta.at("thread_id"), "wanted");
  EXPECT_EQ(meta.at("is_new"), true);
}

class SimScript : public ::testing::Test {
 protected:
  std::string write(const std::string& text) {
    const auto path = dir_.path() / ("script" + std::to_string(++count_) + ".json");
    velmora::testing::write_file(path, text);
    return path.string();
  }

 private:
  TempDir dir_;
  int count_ = 0;
};

TEST_F(SimScript, PlaysExactFramesAnswersAndFallbacks) {
  SimProcess sim({"--script", write(R"({
    "on_connect": [{"send": {"type": "commentary", "content": "welcome {{user_id}}"}}],
    "turns": [
      {"match": "ask", "steps": [
        {"send": {"type": "ask_message", "message_id": "q1",
                  "questions": [{"question": "Color?", "options": [{"label": "red"}]}]}},
        {"wait_answer": {"timeout": 30}},
        {"send": {"type": "text", "content": "you said {{answer}} to {{query}}", "message_id": "a1"}},
        {"complete": {"status": "ok"}}]},
      {"match": "raw", "steps": [
        {"send_text": "{{kept as is}}"}, {"send_binary_hex": "00ff"}, {"stream": {"text": "abcdef", "chunk": 4}},
        {"complete": {}}]},
      {"match": "bye", "steps": [{"close": true}]}],
    "fallback": "error"})")});
  WsClient client(sim.port(), "/ws/v3?userToken=t&user_id=u1");
  EXPECT_THAT(types_of({*client.read(), *client.read()}), ElementsAre("metadata", "commentary"));

  ASSERT_TRUE(client.send_json(query("please ask")));
  const auto ask = client.read();
  ASSERT_TRUE(ask);
  EXPECT_EQ(ask->data,
            R"({"type": "ask_message", "message_id": "q1", "questions": [{"question": "Color?", )"
            R"("options": [{"label": "red"}]}]})");
  ASSERT_TRUE(client.send_json(
      {{"type", "ask_message"}, {"message_id", "q1"}, {"answers", {{"Color?", "red"}}}}));
  const auto answered = client.read_until("complete");
  ASSERT_EQ(answered.size(), 2u);
  EXPECT_EQ(answered[0].json().at("content"), "you said red to please ask");
  EXPECT_EQ(answered[1].json().at("status"), "ok");
  EXPECT_TRUE(answered[1].json().contains("usage"));

  ASSERT_TRUE(client.send_json(query("raw")));
  const auto raw = client.read_until("complete");
  ASSERT_EQ(raw.size(), 5u);
  EXPECT_EQ(raw[0].data, "{{kept as is}}");
  EXPECT_EQ(raw[1].data, std::string("\x00\xff", 2));
  EXPECT_EQ(raw[2].json().at("delta"), "abcd");
  EXPECT_EQ(raw[3].json().at("delta"), "ef");

  ASSERT_TRUE(client.send_json(query("no match")));
  const auto fallback = client.read_until("complete");
  ASSERT_EQ(fallback.size(), 2u);
  EXPECT_EQ(fallback[0].json().at("code"), "no_script_turn");

  ASSERT_TRUE(client.send_json(query("bye")));
  EXPECT_TRUE(drain(client).empty());
  EXPECT_EQ(client.end_reason(), "closed");
}

TEST_F(SimScript, DelaysAreKeptAndScriptFaultsYieldToTheCommandLine) {
  SimProcess sim({"--script", write(R"({"faults": {"drop_after_frames": 2},
    "turns": [{"steps": [{"send": {"type": "commentary", "content": "a"}}, {"delay": 0.4},
                         {"send": {"type": "commentary", "content": "b"}}, {"complete": {}}]}]})"),
                  "--drop-after-frames", "4"});
  WsClient client(sim.port(), "/ws/u1?userToken=t");
  ASSERT_TRUE(client.read());
  ASSERT_TRUE(client.send_json(query("go")));
  const auto start = std::chrono::steady_clock::now();
  const auto frames = drain(client);
  EXPECT_THAT(types_of(frames), ElementsAre("commentary", "commentary", "complete"));
  EXPECT_GE(seconds_since(start), 0.35);
  EXPECT_NE(client.end_reason(), "closed");  // dropped after the fourth frame
}

TEST_F(SimScript, ABadScriptIsAUsageError) {
  const auto result = velmora::testing::run_process(
      AGENT_SIM_BIN, {.args = {"--script", write(R"({"turns": [{"steps": [{"sleep": 1}]}]})")}});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_THAT(result.err, ::testing::HasSubstr("turns[0].steps[0]: unknown step \"sleep\""));
}

}  // namespace
