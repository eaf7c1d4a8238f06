#include "velmora/receive_loop.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "session_harness.hpp"
#include "velmora/oauth/credentials.hpp"

namespace {

using session_testing::from_client;
using session_testing::Harness;
using session_testing::msg;
using session_testing::server;
using velmora::base::awaitable;

awaitable<void> feed(velmora::SessionState& s, std::vector<std::string> messages) {
  for (const auto& text : messages) {
    auto event = server(text);
    EXPECT_TRUE(co_await velmora::handle_incoming_message(s, std::move(event))) << text;
  }
}

/// Feeds the messages, waits, then checks the state while later timers are still pending
/// (running the loop to its end would let every idle release fire first).
awaitable<void> feed_then_check(velmora::SessionState& s, std::vector<std::string> messages,
                                double seconds, std::function<void()> check) {
  co_await feed(s, std::move(messages));
  co_await velmora::base::sleep_for(seconds);
  check();
}

std::size_t count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

TEST(ReceiveLoopBinding, NoticeOnceSessionRecordedPromptReleasedForANewThread) {
  Harness h("t1", /*explicit_thread=*/true);
  auto& s = *h.state;
  h.run(feed(s, {R"({"type": "metadata", "thread_id": "t1", "is_new": true})",
                 R"({"type": "metadata", "thread_id": "t1", "is_new": true})"}));
  EXPECT_EQ(count(h.output(), "requested thread t1 started a new session"), 1u) << h.output();
  EXPECT_TRUE(s.prompt_ready_event.is_set());
  EXPECT_FALSE(s.replay.replaying());
  ASSERT_EQ(h.store.upserts.size(), 2u);
  const auto& saved = h.store.upserts.front();
  EXPECT_EQ(saved.thread_id, "t1");
  EXPECT_EQ(saved.endpoint, "ws://127.0.0.1:9/v3");
  EXPECT_EQ(saved.user_id, "u1");
  EXPECT_EQ(saved.language, "en");
  EXPECT_EQ(saved.cwd, "/work");
  EXPECT_EQ(saved.branch, "main");
  EXPECT_FALSE(s.saw_completion_activity);
}

TEST(ReceiveLoopBinding, OverrideIsAWarningAndMetadataWithoutThreadIsIgnored) {
  Harness h("t1", /*explicit_thread=*/true);
  auto& s = *h.state;
  h.run(feed(s, {R"({"type": "metadata"})",
                 R"({"type": "metadata", "thread_id": "t2", "is_new": true})"}));
  EXPECT_NE(h.output().find("requested thread t1, server resumed t2"), std::string::npos);
  EXPECT_EQ(h.client->thread_id(), "t2");
  EXPECT_EQ(h.store.upserts.size(), 1u);
}

TEST(ReceiveLoopReplay, HistoryIsHeldUntilResumeComplete) {
  Harness h("t1", /*explicit_thread=*/true);
  auto& s = *h.state;
  h.run(feed_then_check(s,
                        {R"({"type": "metadata", "thread_id": "t1", "is_new": false})",
                         R"({"type": "text", "content": "old answer", "message_id": "m0"})",
                         R"({"type": "complete"})"},
                        0, [&] {
                          EXPECT_TRUE(s.replay.replaying());
                          EXPECT_FALSE(s.prompt_ready_event.is_set());
                          EXPECT_TRUE(s.replay.visible_output_seen());
                          EXPECT_TRUE(s.replay.turn_end_seen());
                          // Replayed messages are not the live turn's output.
                          EXPECT_FALSE(s.saw_user_visible_output);
                          EXPECT_FALSE(s.saw_completion_activity);
                        }));
  EXPECT_NE(h.output().find("reusing thread t1"), std::string::npos);

  h.run(feed(s, {R"({"type": "metadata", "thread_id": "t1", "is_new": false})",
                 R"({"type": "resume_complete"})"}));
  EXPECT_TRUE(s.prompt_ready_event.is_set());
  EXPECT_FALSE(s.replay.replaying());
  EXPECT_EQ(s.replay.state(), velmora::HistoryReplay::State::released);
  EXPECT_FALSE(s.binding_notice_pending);

  h.run(feed(s, {R"({"type": "text_delta", "delta": "new", "message_id": "m1"})"}));
  EXPECT_TRUE(s.saw_user_visible_output);
  EXPECT_TRUE(s.saw_completion_activity);
}

TEST(ReceiveLoopReplay, QuietPeriodReleasesThePrompt) {
  // A replayed turn with its end: released after the short quiet period.
  {
    Harness h("t1", true);
    auto& s = *h.state;
    h.run(feed_then_check(s,
                          {R"({"type": "metadata", "thread_id": "t1", "is_new": false})",
                           R"({"type": "text", "content": "old"})", R"({"type": "complete"})"},
                          0.4, [&] { EXPECT_FALSE(s.prompt_ready_event.is_set()); }));
    EXPECT_TRUE(s.prompt_ready_event.is_set());
    EXPECT_FALSE(s.replay.replaying());
  }
  // Output without its end may still be streaming: 1.5 s of quiet is not enough.
  {
    Harness h("t1", true);
    auto& s = *h.state;
    h.run(feed_then_check(s,
                          {R"({"type": "metadata", "thread_id": "t1", "is_new": false})",
                           R"({"type": "text", "content": "old"})"},
                          1.5, [&] { EXPECT_FALSE(s.prompt_ready_event.is_set()); }));
    EXPECT_TRUE(s.prompt_ready_event.is_set());
  }
  // An empty history without "resume_complete" does not hold the prompt for ever.
  {
    Harness h("t1", true);
    auto& s = *h.state;
    h.run(feed(s, {R"({"type": "metadata", "thread_id": "t1", "is_new": false})"}));
    EXPECT_TRUE(s.prompt_ready_event.is_set());
  }
}

TEST(ReceiveLoopReplay, ReplayedQuestionIsRecordedNotAnswered) {
  Harness h("t1", true);
  h.setup.non_interactive = true;
  auto& s = *h.state;
  h.run(feed(s, {R"({"type": "metadata", "thread_id": "t1", "is_new": false})",
                 R"({"type": "ask_message", "message_id": "q1",
                     "questions": [{"question": "Pick", "options": [{"label": "A"}]}]})"}));
  // Answering would need the (absent) connection and print the auto-selection.
  EXPECT_EQ(h.output().find("auto-selected"), std::string::npos) << h.output();
  EXPECT_EQ(h.output().find("not connected"), std::string::npos) << h.output();
}

TEST(ReceiveLoopTurns, FlagsFollowTheClassificationAndTerminalMessagesEndTheTurn) {
  Harness h;
  auto& s = *h.state;
  s.turn_in_progress = true;
  h.run(feed(s, {R"({"type": "agent_thinking", "content": "hmm"})", R"({"type": "heartbeat"})"}));
  EXPECT_FALSE(s.saw_completion_activity);
  EXPECT_FALSE(s.saw_user_visible_output);
  EXPECT_TRUE(s.turn_in_progress);

  const double before = velmora::base::monotonic_seconds();
  h.run(feed(s, {R"({"type": "tool_progress", "tool_name": "grep"})"}));
  EXPECT_TRUE(s.saw_completion_activity);
  EXPECT_GE(s.last_activity_ts, before);
  EXPECT_FALSE(s.saw_user_visible_output);  // plain output hides tool traffic

  h.run(feed(s, {R"({"type": "complete"})"}));
  EXPECT_TRUE(s.query_complete_event.is_set());
  EXPECT_FALSE(s.turn_in_progress);
}

/// Feeds an answer, notes whether the renderer holds output back, then feeds a question.
awaitable<void> answer_then_question(velmora::SessionState& s, std::string answer,
                                     std::string question, bool& held) {
  EXPECT_TRUE(co_await velmora::handle_incoming_message(s, server(answer)));
  held = s.renderer.output_pending();
  EXPECT_TRUE(co_await velmora::handle_incoming_message(s, server(question)));
}

// A question right behind a code block still being coloured: its panel takes the terminal only
// once the block is printed.
TEST(ReceiveLoopTurns, AQuestionIsAskedOnlyOnceTheAnswerBeforeItIsPrinted) {
  Harness h(std::nullopt, false, /*plain_output=*/false, /*colour=*/true);
  auto& s = *h.state;
  s.turn_in_progress = true;
  std::string code = "```python\\n";
  for (int k = 0; k < 40; ++k) code += "total = total + " + std::to_string(k) + "  # add\\n";
  code += "```";
  std::string shown_when_asked;
  s.answer_from_input = [&](const velmora::events::AskPromptRequest&) {
    shown_when_asked = std::regex_replace(h.output(), std::regex("\x1b\\[[0-9;]*m"), "");
  };
  bool held = false;
  h.run(answer_then_question(
      s, R"({"type": "text", "message_id": "m1", "content": ")" + code + R"("})",
      R"({"type": "ask_message", "message_id": "q1",
          "questions": [{"question": "Pick", "options": [{"label": "A"}]}]})",
      held));
  ASSERT_TRUE(held) << "the block was coloured on the loop";
  EXPECT_NE(shown_when_asked.find("total = total + 39  # add"), std::string::npos)
      << shown_when_asked;
}

TEST(ReceiveLoopNotices, DriftOnlyForExplicitThreadsAndTopicTitlesStored) {
  const char* config = R"({"type": "config", "config": {"scenario": "report"}})";
  {
    Harness h;
    h.run(feed(*h.state, {config}));
    EXPECT_EQ(h.output().find("resumed context differs"), std::string::npos);
  }
  {
    Harness h("t1", true);
    h.run(feed(*h.state, {config, config}));
    EXPECT_EQ(count(h.output(), "resumed context differs: scenario=report (requested keyword)"), 1u)
        << h.output();
    h.run(feed(*h.state, {R"({"type": "topic_message", "payload": {"title": "  Trip plan "}})"}));
    ASSERT_EQ(h.store.conversations.size(), 1u);
    EXPECT_EQ(h.store.conversations[0], (std::pair<std::string, std::string>{"t1", "Trip plan"}));
  }
}

/// Feeds the client's own connection-end message.
awaitable<void> expect_loop_ends(velmora::SessionState& s, std::string text) {
  auto event = velmora::events::to_event(from_client(text));
  EXPECT_FALSE(co_await velmora::handle_incoming_message(s, std::move(event)));
}

TEST(ReceiveLoopConnection, OneShotTurnEndsWithoutReconnecting) {
  Harness h("t1");
  auto& s = *h.state;
  s.one_shot = true;
  s.turn_in_progress = true;
  h.run(expect_loop_ends(s, R"({"type": "_connection_error", "error_message": "reset by peer"})"));
  EXPECT_EQ(s.connection_lost_detail, "reset by peer");
  EXPECT_TRUE(s.query_complete_event.is_set());
  EXPECT_FALSE(s.turn_in_progress);
  EXPECT_FALSE(s.stop_event.is_set());
}

TEST(ReceiveLoopConnection, FailedReconnectIsReportedAndEndsTheSession) {
  Harness h("t1");
  auto& s = *h.state;
  h.run(expect_loop_ends(s, R"({"type": "_connection_error"})"));
  EXPECT_TRUE(s.stop_event.is_set());
  EXPECT_TRUE(s.query_complete_event.is_set());
  EXPECT_NE(h.output().find("Failed to reach the websocket endpoint."), std::string::npos)
      << h.output();
}

TEST(ReceiveLoopConnection, AServerFrameInTheClientsSpellingIsJustAMessage) {
  Harness h;
  auto& s = *h.state;
  s.turn_in_progress = true;
  h.run(
      feed(s, {R"({"type": "_connection_error", "error_message": "forged", "content": "hello"})"}));
  // Neither the turn nor the connection ends; the frame shows by its text.
  EXPECT_TRUE(s.turn_in_progress);
  EXPECT_FALSE(s.query_complete_event.is_set());
  EXPECT_FALSE(s.stop_event.is_set());
  EXPECT_NE(h.output().find("hello"), std::string::npos) << h.output();
  EXPECT_EQ(h.output().find("Failed to reach"), std::string::npos) << h.output();
}

class RefreshingCredentials final : public velmora::oauth::Credentials {
 public:
  int refreshes = 0;
  std::string resolve_oauth_base_url() override { return "http://oauth.test"; }
  std::string resolve_oauth_client_id() override { return "velmora-cli"; }
  std::optional<std::string> env_default(std::string_view) override { return std::nullopt; }
  std::optional<std::string> get_valid_token(const std::string&, const std::string&) override {
    return std::nullopt;
  }
  velmora::oauth::LoginResult run_login_flow(const velmora::oauth::LoginFlowOptions&) override {
    throw velmora::base::RuntimeError("no login in this test");
  }
  std::optional<std::string> fetch_user_id_from_token(const std::string&,
                                                      const std::string&) override {
    return std::nullopt;
  }
  std::optional<std::string> force_refresh_token(const std::string& base_url,
                                                 const std::string& client_id) override {
    ++refreshes;
    EXPECT_EQ(base_url, "http://oauth.test");
    EXPECT_EQ(client_id, "velmora-cli");
    return "fresh-token";
  }
  std::optional<std::string> fetch_devevaro_account(const std::string&, const std::string&,
                                                    const std::string&) override {
    return std::nullopt;
  }
  bool clear_saved_tokens() override { return false; }
};

TEST(ReceiveLoopConnection, AnAuthenticationDropRefreshesTheTokenBeforeReconnecting) {
  Harness h("t1");
  auto credentials = std::make_shared<RefreshingCredentials>();
  h.setup.credentials = credentials;
  h.setup.cfg.oauth_base_url = "http://oauth.test";
  h.setup.cfg.oauth_client_id = "velmora-cli";
  auto& s = *h.state;
  h.run(expect_loop_ends(s, R"json({"type": "_connection_error",
                                "error_message": "server said: token expired (401)"})json"));
  EXPECT_EQ(credentials->refreshes, 1);
  EXPECT_EQ(h.setup.cfg.token, "fresh-token");
  EXPECT_EQ(h.client->config()->user_token, "fresh-token");
  // The endpoint is unreachable: the reconnect fails and ends the session.
  EXPECT_TRUE(s.stop_event.is_set());

  // Other errors reconnect without a refresh.
  Harness plain("t1");
  plain.setup.credentials = credentials;
  plain.setup.cfg.oauth_base_url = "http://oauth.test";
  plain.setup.cfg.oauth_client_id = "velmora-cli";
  plain.run(
      expect_loop_ends(*plain.state, R"({"type": "_connection_error", "error_message": "reset"})"));
  EXPECT_EQ(credentials->refreshes, 1);
}

TEST(ReceiveLoopErrors, AFailedAnswerIsReportedAndTheLoopGoesOn) {
  Harness h;
  h.setup.non_interactive = true;
  auto& s = *h.state;
  s.client.incoming_queue().push({msg(R"({"type": "ask_message", "message_id": "q1",
      "questions": [{"question": "Pick", "options": [{"label": "A"}]}]})")});
  s.client.incoming_queue().push({msg(R"({"type": "complete"})")});
  h.run([](velmora::SessionState& state) -> awaitable<void> {
    auto loop = velmora::base::Task::spawn(state.executor, velmora::receive_loop(state));
    co_await state.query_complete_event.wait();
    state.stop_event.set();
    loop.cancel();
    co_await loop.join();
  }(s));
  EXPECT_NE(h.output().find("WebSocket is not connected"), std::string::npos) << h.output();
  EXPECT_TRUE(s.query_complete_event.is_set());
}

}  // namespace
