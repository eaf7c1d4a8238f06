// What the client queues from inbound frames and what it puts on the wire.
#include "wirelet/client.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/json.hpp>

#include "loop_runner.hpp"
#include "velmora/base/errors.hpp"
#include "ws_test_server.hpp"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using velmora::base::awaitable;
using velmora::base::Task;
using wirelet::AgentWsV3Client;
using wirelet::Message;
using wirelet::WireletConfig;
using wirelet_test::eventually;
using wirelet_test::Peer;
using wirelet_test::run_loop;
using wirelet_test::WsTestServer;
namespace net = boost::asio;

std::shared_ptr<WireletConfig> config_for(const WsTestServer& server, bool debug = false) {
  auto cfg = std::make_shared<WireletConfig>(
      WireletConfig{.base_url = server.url(), .user_id = "u1", .user_token = "tok"});
  cfg->reconnect_attempts = 1;
  cfg->debug = debug;
  return cfg;
}

struct Lines {
  std::vector<std::string> lines;
  wirelet::DebugSink sink() {
    return [this](std::string_view text) { lines.emplace_back(text); };
  }
};

/// The client's own connection-end message, as `drain` shows it.
std::string connection_error_text(const std::string& text) {
  Message error;
  error["type"] = "_connection_error";
  error["error_message"] = text;
  return boost::json::serialize(error) + " (client)";
}

// Drains every message that is already queued.
std::vector<std::string> drain(AgentWsV3Client& client) {
  std::vector<std::string> out;
  while (auto in = client.incoming_queue().try_pop()) {
    out.push_back(boost::json::serialize(in->message) +
                  (in->origin == wirelet::Origin::client ? " (client)" : ""));
  }
  return out;
}

awaitable<void> mixed_frames(Peer& peer) {
  co_await peer.send_text(R"({"type": "heartbeat"})");
  co_await peer.send_text("not json");
  co_await peer.send_binary("\xff\xfe");
  co_await peer.send_text("[1, 2]");
  co_await peer.send_binary(R"({"type": "text_delta", "delta": "é"})");
  co_await peer.send_text(R"({"type": "text", "content": "after"})");
  co_await peer.close(1000);
  co_await wirelet_test::receive_until_closed(peer);
}

TEST(Receive, DecodesFramesDropsHeartbeatsAndReportsTheNormalClose) {
  WsTestServer server({}, mixed_frames);
  Lines debug;
  run_loop(
      [](net::any_io_executor ex, WsTestServer& server, Lines& debug) -> awaitable<void> {
        AgentWsV3Client client(ex, config_for(server, true));
        client.set_debug_sink(debug.sink());
        co_await client.connect();
        EXPECT_TRUE(co_await eventually([&] { return !client.receiving(); }));
        EXPECT_THAT(drain(client),
                    ElementsAre(R"({"type":"_raw","raw":"not json"} (client))",
                                "{\"type\":\"_raw\",\"raw\":\"\xff\xfe\",\"binary\":true} (client)",
                                R"({"type":"_raw","raw":"[1, 2]"} (client))",
                                R"({"type":"text_delta","delta":"é"})",
                                R"({"type":"text","content":"after"})",
                                connection_error_text("server closed the connection")));
        EXPECT_TRUE(client.is_connected());
        co_await client.close();
      },
      server, debug);
  ASSERT_EQ(debug.lines.size(), 8u);
  EXPECT_THAT(debug.lines[0], HasSubstr("[DEBUG][SESSION]\n  endpoint: ws://127.0.0.1:"));
  EXPECT_THAT(std::vector(debug.lines.begin() + 1, debug.lines.end()),
              ElementsAre(R"([DEBUG][RECV] {"type": "heartbeat"})", "[DEBUG][RECV] not json",
                          "[DEBUG][RECV] b'\\xff\\xfe'", "[DEBUG][RECV] [1, 2]",
                          R"([DEBUG][RECV] {"type": "text_delta", "delta": "é"})",
                          R"([DEBUG][RECV] {"type": "text", "content": "after"})",
                          // Close still tries terminate on the connection the server ended.
                          R"([DEBUG][SEND] {"type": "terminate"})"));
}

awaitable<void> frame_then_break(Peer& peer, bool reset) {
  co_await peer.send_text(R"({"type": "text", "content": "one"})");
  // Break only once the client has the frame: a reset may discard unread data.
  (void)co_await peer.receive();
  if (reset) {
    peer.reset();
  } else {
    peer.drop();
  }
}

awaitable<void> close_with(Peer& peer, int code) {
  co_await peer.send_text(R"({"type": "text", "content": "one"})");
  (void)co_await peer.receive();
  co_await peer.close(code, code == 1011 ? "internal failure" : "");
  co_await wirelet_test::receive_until_closed(peer);
}

struct EndCase {
  const char* name;
  wirelet_test::Handler handler;
  std::string error;  // the text of the one "_connection_error" expected
};

TEST(Receive, ConnectionEndsGiveAtMostOneError) {
  const EndCase cases[] = {
      {"reset", [](Peer& p) { return frame_then_break(p, true); }, "Connection reset by peer"},
      {"drop", [](Peer& p) { return frame_then_break(p, false); },
       "connection closed without a close frame"},
      {"close 1011", [](Peer& p) { return close_with(p, 1011); },
       "server closed the connection with code 1011: internal failure"},
      {"close 4000", [](Peer& p) { return close_with(p, 4000); },
       "server closed the connection with code 4000"},
      {"close 1000", [](Peer& p) { return close_with(p, 1000); }, "server closed the connection"},
      {"close 1001", [](Peer& p) { return close_with(p, 1001); }, "server closed the connection"},
  };
  for (const auto& c : cases) {
    WsTestServer server({}, c.handler);
    run_loop(
        [](net::any_io_executor ex, WsTestServer& server, const EndCase& c) -> awaitable<void> {
          AgentWsV3Client client(ex, config_for(server));
          co_await client.connect();
          const Message first = (co_await client.incoming_queue().pop()).message;
          EXPECT_EQ(first.at("content"), "one") << c.name;
          co_await client.send_interrupt();
          EXPECT_TRUE(co_await eventually([&] { return !client.receiving(); })) << c.name;
          // Every end, a normal close too, is one message of the client's own, the last.
          EXPECT_EQ(drain(client), std::vector<std::string>{connection_error_text(c.error)})
              << c.name;
          co_await client.close();
          EXPECT_TRUE(client.incoming_queue().empty()) << c.name;
        },
        server, c);
  }
}

awaitable<void> write_forever(Peer& peer) {
  while (true) co_await peer.send_text(R"({"type": "text_delta", "delta": "x"})");
}

// Streams until the client closes; reading alongside lets the closing handshake complete.
awaitable<void> flood(Peer& peer) {
  using namespace boost::asio::experimental::awaitable_operators;
  co_await (write_forever(peer) || wirelet_test::receive_until_closed(peer));
}

TEST(Receive, NothingIsQueuedAfterCloseReturns) {
  WsTestServer server({}, flood);
  run_loop(
      [](net::any_io_executor ex, WsTestServer& server) -> awaitable<void> {
        AgentWsV3Client client(ex, config_for(server));
        co_await client.connect();
        for (int i = 0; i < 100; ++i) (void)co_await client.incoming_queue().pop();
        co_await client.close();
        const auto size = client.incoming_queue().size();
        co_await velmora::base::sleep_for(0.1);
        EXPECT_EQ(client.incoming_queue().size(), size);
        EXPECT_FALSE(client.receiving());
      },
      server);
}

awaitable<void> large_frames(Peer& peer) {
  const std::string head = R"({"type": "text", "content": ")";
  const std::string tail = R"("})";
  std::string fits(wirelet::MAX_MESSAGE_BYTES, 'a');
  fits.replace(0, head.size(), head);
  fits.replace(fits.size() - tail.size(), tail.size(), tail);
  co_await peer.send_text(fits);
  co_await peer.send_text(std::string(wirelet::MAX_MESSAGE_BYTES + 1, 'b'));
  co_await wirelet_test::receive_until_closed(peer);
}

TEST(Receive, MessagesUpTo64MiBAreAcceptedLargerOnesEndTheConnection) {
  WsTestServer server({}, large_frames);
  run_loop(
      [](net::any_io_executor ex, WsTestServer& server) -> awaitable<void> {
        AgentWsV3Client client(ex, config_for(server));
        co_await client.connect();
        const Message fits = (co_await client.incoming_queue().pop()).message;
        const std::size_t framing = std::string_view(R"({"type": "text", "content": ""})").size();
        EXPECT_EQ(fits.at("content").as_string().size(), wirelet::MAX_MESSAGE_BYTES - framing);
        const wirelet::Incoming too_big_end = co_await client.incoming_queue().pop();
        const Message& too_big = too_big_end.message;
        EXPECT_EQ(too_big_end.origin, wirelet::Origin::client);
        EXPECT_EQ(too_big.at("type"), "_connection_error");
        EXPECT_EQ(too_big.at("error_message"),
                  "message too big: the server sent a message larger than 64 MiB");
        co_await client.close();
      },
      server);
}

awaitable<void> answer_with_long_text(Peer& peer) {
  (void)co_await peer.receive();
  std::vector<std::string> texts(
      1, R"({"type": "text", "content": ")" + std::string(10000, 'z') + "\"}");
  co_await wirelet_test::send_then_close(peer, std::move(texts));
}

TEST(Receive, CompressedFramesFromADeflateServer) {
  WsTestServer server({.deflate = true}, answer_with_long_text);
  run_loop(
      [](net::any_io_executor ex, WsTestServer& server) -> awaitable<void> {
        AgentWsV3Client client(ex, config_for(server));
        co_await client.connect();
        co_await client.send_interrupt();
        const Message msg = (co_await client.incoming_queue().pop()).message;
        EXPECT_EQ(msg.at("content").as_string().size(), 10000u);
        co_await client.close();
      },
      server);
  EXPECT_EQ(server.received(), std::vector<std::string>{R"({"type": "interrupt"})"});
}

// Built outside the coroutines: g++ 12 rejects braced string-literal lists inside them.
wirelet::QueryOptions full_query_options() {
  return {.attachments = boost::json::array{boost::json::object{
              {"file_path", "a/b.txt"}, {"type", "file"}, {"description", ""}}},
          .scenario = "s",
          .config = boost::json::parse(R"({"k": 1.0, "n": [1, 2.5], "s": "\t"})").as_object(),
          .system_prompt = "sp",
          .language = "zh"};
}

using Answers = std::vector<std::pair<std::string, std::string>>;
const Answers ONE_ANSWER = {{"Q", "A"}};
const Answers TWO_ANSWERS = {{"Which?", "B"}, {"Why?", "C"}};

boost::json::object answers(const Answers& pairs) {
  boost::json::object out;
  for (const auto& [question, answer] : pairs) out[question] = answer;
  return out;
}

Message numbered(int sender, int i) {
  Message msg;
  msg["type"] = "n";
  msg["sender"] = sender;
  msg["i"] = i;
  return msg;
}

awaitable<void> send_outbound_set(net::any_io_executor ex, WsTestServer& server, Lines& debug,
                                  bool debug_on) {
  AgentWsV3Client client(ex, config_for(server, debug_on));
  client.set_debug_sink(debug.sink());
  co_await client.connect();
  wirelet::QueryOptions plain;
  plain.scenario = "s1";
  co_await client.send_query("hi", plain);
  wirelet::QueryOptions empties;
  empties.scenario = "";
  empties.config = boost::json::object();
  empties.system_prompt = "";
  empties.language = "";
  co_await client.send_query("héllo 世界\n", empties);
  co_await client.send_query("q", full_query_options());
  co_await client.send_answer("m1", answers(ONE_ANSWER), "ask_user_input");
  co_await client.send_answer("m2", answers(TWO_ANSWERS));
  co_await client.send_interrupt();
  co_await client.close();
}

const std::vector<std::string> OUTBOUND = {
    R"({"type": "query", "query": "hi", "user_id": "u1", "attachments": [], "scenario": "s1"})",
    R"({"type": "query", "query": "héllo 世界\n", "user_id": "u1", "attachments": [], "config": {}})",
    R"({"type": "query", "query": "q", "user_id": "u1", "attachments": [{"file_path": "a/b.txt", )"
    R"("type": "file", "description": ""}], "scenario": "s", "config": {"k": 1.0, "n": [1, 2.5], )"
    R"("s": "\t"}, "system_prompt": "sp", "language": "zh"})",
    R"({"type": "ask_user_input", "message_id": "m1", "answers": {"Q": "A"}})",
    R"({"type": "ask_message", "message_id": "m2", "answers": {"Which?": "B", "Why?": "C"}})",
    R"({"type": "interrupt"})",
    R"({"type": "terminate"})",
};

TEST(Send, FramesAreByteExactAndEachPrintsOneDebugLineFirst) {
  for (const bool debug_on : {true, false}) {
    WsTestServer server;
    Lines debug;
    run_loop(send_outbound_set, server, debug, debug_on);
    EXPECT_EQ(server.received(), OUTBOUND);
    std::vector<std::string> expected_lines;
    if (debug_on) {
      for (const auto& frame : OUTBOUND) expected_lines.push_back("[DEBUG][SEND] " + frame);
      ASSERT_FALSE(debug.lines.empty());
      EXPECT_THAT(debug.lines.front(), HasSubstr("[DEBUG][SESSION]"));
      debug.lines.erase(debug.lines.begin());
    }
    EXPECT_EQ(debug.lines, expected_lines);
  }
}

TEST(Send, WithoutConnectionFailsAndPrintsNothing) {
  Lines debug;
  run_loop(
      [](net::any_io_executor ex, Lines& debug) -> awaitable<void> {
        auto cfg = std::make_shared<WireletConfig>(
            WireletConfig{.base_url = "ws://127.0.0.1:1/v3", .user_id = "u", .user_token = "t"});
        cfg->debug = true;
        AgentWsV3Client client(ex, cfg);
        client.set_debug_sink(debug.sink());
        for (int which = 0; which < 3; ++which) {
          try {
            if (which == 0) co_await client.send_interrupt();
            if (which == 1) co_await client.send_query("q");
            if (which == 2) co_await client.send_raw(numbered(0, 0));
            ADD_FAILURE() << which;
          } catch (const velmora::base::RuntimeError& e) {
            EXPECT_STREQ(e.what(), "WebSocket is not connected");
          }
        }
      },
      debug);
  EXPECT_TRUE(debug.lines.empty());
}

awaitable<void> send_series(AgentWsV3Client& client, int sender, int count) {
  for (int i = 0; i < count; ++i) {
    co_await client.send_raw(numbered(sender, i));
  }
}

awaitable<void> stream_while_receiving(Peer& peer) {
  for (int i = 0; i < 200; ++i) co_await peer.send_text(R"({"type": "text_delta", "delta": "d"})");
  co_await wirelet_test::receive_until_closed(peer);
}

TEST(Send, OverlappingSendersWhileReceivingKeepFramesWholeAndOrdered) {
  WsTestServer server({}, stream_while_receiving);
  run_loop(
      [](net::any_io_executor ex, WsTestServer& server) -> awaitable<void> {
        AgentWsV3Client client(ex, config_for(server));
        co_await client.connect();
        std::vector<velmora::base::Task> senders;
        for (int s = 0; s < 8; ++s)
          senders.push_back(velmora::base::Task::spawn(ex, send_series(client, s, 50)));
        for (int i = 0; i < 200; ++i) (void)co_await client.incoming_queue().pop();
        for (auto& task : senders) {
          co_await task.join();
          EXPECT_FALSE(task.error());
        }
        co_await client.close(false);
      },
      server);
  const auto frames = server.received();
  ASSERT_EQ(frames.size(), 400u);
  std::vector<int> next(8, 0);
  for (const auto& frame : frames) {
    const auto msg = boost::json::parse(frame).as_object();
    const auto sender = msg.at("sender").as_int64();
    EXPECT_EQ(msg.at("i").as_int64(), next[sender]++);
  }
}

}  // namespace
