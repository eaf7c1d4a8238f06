#include "velmora/events/agent_event.hpp"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

#include "velmora/events/question.hpp"

namespace {

namespace json = boost::json;
using velmora::events::AgentEvent;
using velmora::events::EventKind;
using velmora::events::Phase;
using velmora::events::server_event;

json::object msg(std::string_view text) { return json::parse(text).as_object(); }

AgentEvent client_event(std::string_view text) {
  return velmora::events::to_event({msg(text), wirelet::Origin::client});
}

TEST(AgentEvent, EverySpellingMapsToOneKind) {
  using enum EventKind;
  const std::vector<std::pair<std::vector<const char*>, EventKind>> groups = {
      {{"text_delta", "answer_delta"}, answer_delta},
      {{"text", "answer"}, answer},
      {{"agent_thinking", "thinking_commentary"}, thinking},
      {{"commentary", "child_step_commentary", "inter_child_text"}, commentary},
      {{"step_discovered", "step_started", "step_progress"}, step},
      {{"tool_execution", "tool_progress", "tool_completed"}, tool},
      {{"mcp_message", "skill_message", "subagent_message"}, nested},
      {{"collection_plan", "collect_plan", "collect-plan"}, plan},
      {{"ask_message", "ask_user_input", "askuserinput"}, question},
      {{"error"}, error},
      {{"complete"}, turn_complete},
      {{"terminated"}, terminated},
      {{"resume_complete"}, replay_boundary},
      {{"metadata"}, binding},
      {{"config"}, config},
      {{"topic_message"}, topic},
      {{"heartbeat"}, heartbeat},
      // No folding beyond the spellings: case and blanks count.
      {{"Complete", " complete"}, other},
      // The client's own kinds never come from a server frame.
      {{"_connection_error", "_raw"}, other},
  };
  for (const auto& [spellings, kind] : groups) {
    for (const char* type : spellings) {
      json::object m;
      m["type"] = type;
      const AgentEvent event = server_event(m);
      EXPECT_EQ(event.kind, kind) << type;
      EXPECT_EQ(event.type, type);
    }
  }
  // Group members stay apart where a writer tells them apart.
  const auto phase = [](const char* type) {
    return server_event(json::object{{"type", type}}).phase;
  };
  EXPECT_EQ(phase("step_discovered"), Phase::discovered);
  EXPECT_EQ(phase("step_progress"), Phase::progress);
  EXPECT_EQ(phase("tool_progress"), Phase::progress);
  EXPECT_EQ(phase("tool_completed"), Phase::completed);
  EXPECT_EQ(phase("tool_execution"), Phase::execution);
  EXPECT_EQ(phase("skill_message"), Phase::skill);
  EXPECT_EQ(phase("text"), Phase::none);
  for (const char* untyped : {R"({})", R"({"type": 5})", R"({"type": true})", R"({"type": null})",
                              R"({"type": {"kind": "text"}})"}) {
    EXPECT_EQ(server_event(msg(untyped)).kind, EventKind::other) << untyped;
    EXPECT_EQ(server_event(msg(untyped)).type, "") << untyped;
  }
}

TEST(AgentEvent, OnlyTheClientMakesItsOwnKinds) {
  EXPECT_EQ(client_event(R"({"type": "_connection_error", "error_message": "x"})").kind,
            EventKind::connection_lost);
  EXPECT_EQ(client_event(R"({"type": "_raw", "raw": "not json"})").kind, EventKind::raw);
  // A server frame in their spelling is just another message, shown by its text.
  const AgentEvent forged = server_event(msg(R"({"type": "_connection_error", "text": "hi"})"));
  EXPECT_EQ(forged.kind, EventKind::other);
  EXPECT_FALSE(velmora::events::ends_turn(forged));
  EXPECT_TRUE(velmora::events::counts_as_completion_activity(forged));
}

TEST(AgentEvent, StatusIsTrimmedAndLowerCasedFromTopLevelOrPayload) {
  EXPECT_EQ(server_event(msg(R"({"type": "tool_execution", "status": " Completed "})")).status,
            "completed");
  EXPECT_EQ(
      server_event(msg(R"({"type": "tool_execution", "payload": {"status": "FAILED"}})")).status,
      "failed");
  EXPECT_EQ(server_event(msg(R"({"type": "tool_execution"})")).status, "");
}

TEST(AgentEvent, ActivityAndVisibilityPerKind) {
  const struct {
    const char* message;
    bool activity;
    bool visible_rich;
    bool visible_plain;
  } cases[] = {
      {R"({})", true, true, true},
      {R"({"type": "text_delta", "delta": "hi"})", true, true, true},
      {R"({"type": "unknown_kind"})", true, true, true},
      {R"({"type": "complete"})", false, false, false},
      {R"({"type": "terminated"})", false, false, false},
      {R"({"type": "Complete"})", true, true, true},
      {R"({"type": "heartbeat"})", false, false, false},
      {R"({"type": "agent_thinking"})", false, false, false},
      {R"({"type": "step_progress"})", false, false, false},
      {R"({"type": "topic_message"})", false, false, false},
      {R"({"type": "config"})", false, false, false},
      {R"({"type": "metadata"})", false, false, false},
      {R"({"type": "tool_progress"})", true, true, false},
      {R"({"type": "tool_execution"})", true, true, false},
      {R"({"type": "mcp_message", "status": "running"})", true, true, false},
      {R"({"type": "mcp_message", "status": "error"})", true, true, true},
      {R"({"type": "subagent_message", "status": "failed"})", true, true, true},
      {R"({"type": "skill_message"})", true, true, false},
      {R"({"type": "skill_message", "status": 0})", true, true, false},
      {R"({"type": "askuserinput", "status": "answered"})", true, true, true},
      {R"({"type": "askuserinput"})", true, true, false},
      {R"({"type": "ask_message", "status": "called"})", true, true, true},
      {R"({"type": "collect-plan"})", true, true, true},
      {R"({"type": 0})", true, true, true},
  };
  for (const auto& c : cases) {
    const AgentEvent event = server_event(msg(c.message));
    EXPECT_EQ(velmora::events::counts_as_completion_activity(event), c.activity) << c.message;
    EXPECT_EQ(velmora::events::is_user_visible_output(event, false), c.visible_rich) << c.message;
    EXPECT_EQ(velmora::events::is_user_visible_output(event, true), c.visible_plain) << c.message;
  }
  const AgentEvent lost = client_event(R"({"type": "_connection_error"})");
  EXPECT_TRUE(velmora::events::ends_turn(lost));
  EXPECT_FALSE(velmora::events::counts_as_completion_activity(lost));
  EXPECT_FALSE(velmora::events::is_user_visible_output(lost, false));
}

TEST(AgentEvent, BindingMetadataBindsTheServersThread) {
  struct Case {
    const char* name;
    std::optional<std::string> requested;
    bool explicit_id;
    std::string payload;
    std::optional<wirelet::SessionBindingUpdate> expected;
  };
  using wirelet::SessionBindingUpdate;
  const Case cases[] = {
      {"explicit A, server B", "A", true,
       R"({"type": "metadata", "thread_id": "B", "is_new": true})",
       SessionBindingUpdate{"A", "B", true, true, true}},
      {"non-explicit A, server B", "A", false,
       R"({"type": "metadata", "thread_id": "B", "is_new": false})",
       SessionBindingUpdate{"A", "B", false, false, false}},
      {"nothing requested", std::nullopt, true, R"({"type": "metadata", "thread_id": "B"})",
       SessionBindingUpdate{std::nullopt, "B", true, std::nullopt, false}},
      {"server keeps A", "A", true, R"({"type": "metadata", "thread_id": "A", "is_new": false})",
       SessionBindingUpdate{"A", "A", true, false, false}},
      {"case differs", "a", true, R"({"type": "metadata", "thread_id": "A"})",
       SessionBindingUpdate{"a", "A", true, std::nullopt, true}},
      {"spaces stripped", std::nullopt, false, R"({"type": "metadata", "thread_id": "  t1 "})",
       SessionBindingUpdate{std::nullopt, "t1", false, std::nullopt, false}},
      {"number", std::nullopt, false, R"({"type": "metadata", "thread_id": 42})",
       SessionBindingUpdate{std::nullopt, "42", false, std::nullopt, false}},
      {"is_new text", std::nullopt, false,
       R"({"type": "metadata", "thread_id": "t", "is_new": "yes"})",
       SessionBindingUpdate{std::nullopt, "t", false, std::nullopt, false}},
      {"is_new number", std::nullopt, false,
       R"({"type": "metadata", "thread_id": "t", "is_new": 1})",
       SessionBindingUpdate{std::nullopt, "t", false, std::nullopt, false}},
      {"empty", "A", true, R"({"type": "metadata", "thread_id": ""})", std::nullopt},
      {"blank", "A", true, R"({"type": "metadata", "thread_id": "   "})", std::nullopt},
      {"missing", "A", true, R"({"type": "metadata"})", std::nullopt},
      {"null", "A", true, R"({"type": "metadata", "thread_id": null})", std::nullopt},
      {"zero", "A", true, R"({"type": "metadata", "thread_id": 0})", std::nullopt},
      // Ids that would forge a line or fill the store are refused; the client keeps its own.
      {"line break", "A", true, R"({"type": "metadata", "thread_id": "t\nFAKE"})", std::nullopt},
      {"escape", "A", true, R"({"type": "metadata", "thread_id": "t\u001b]0;x\u0007"})",
       std::nullopt},
      {"C1", "A", true, R"({"type": "metadata", "thread_id": "t\u0085x"})", std::nullopt},
      {"257 bytes", "A", true,
       R"({"type": "metadata", "thread_id": ")" + std::string(257, 'x') + "\"}", std::nullopt},
      {"256 bytes", std::nullopt, false,
       R"({"type": "metadata", "thread_id": ")" + std::string(256, 'x') + "\"}",
       SessionBindingUpdate{std::nullopt, std::string(256, 'x'), false, std::nullopt, false}},
  };
  for (const auto& c : cases) {
    boost::asio::io_context io;
    auto cfg = std::make_shared<wirelet::WireletConfig>(wirelet::WireletConfig{
        .base_url = "ws://127.0.0.1:1/v3", .user_id = "u", .user_token = "t"});
    cfg->thread_id = c.requested;
    cfg->explicit_thread_id = c.explicit_id;
    wirelet::AgentWsV3Client client(io.get_executor(), cfg);
    const AgentEvent event = server_event(msg(c.payload));
    ASSERT_EQ(event.kind, EventKind::binding) << c.name;
    const bool refused = c.name == std::string_view("line break") ||
                         c.name == std::string_view("escape") || c.name == std::string_view("C1") ||
                         c.name == std::string_view("257 bytes");
    EXPECT_EQ(event.binding_refused, refused) << c.name;
    std::optional<SessionBindingUpdate> update;
    if (event.binding) update = client.bind_thread(event.binding->thread_id, event.binding->is_new);
    EXPECT_EQ(update, c.expected) << c.name;
    // The request and the explicit flag never move; the bound thread follows the server.
    EXPECT_EQ(client.requested_thread_id(), c.requested) << c.name;
    EXPECT_EQ(client.explicit_thread_id(), c.explicit_id) << c.name;
    EXPECT_EQ(client.thread_id(),
              c.expected ? c.expected->active_thread_id : c.requested.value_or(""))
        << c.name;
  }
}

TEST(AgentEvent, OpenQuestionsAreRecognisedWithTheirTextsAsSent) {
  const struct {
    const char* message;
    bool open;
  } cases[] = {
      {R"({"type": "ask_message", "message_id": "q", "questions": [{"question": "x"}]})", true},
      {R"({"type": "askuserinput", "message_id": "q", "status": "called", "questions": []})", true},
      {R"({"type": "ask_user_input", "status": "answered", "questions": []})", false},
      {R"({"type": "ask_message", "status": "failed"})", false},
      {R"({"type": "ask_message", "status": "running"})", false},
      {R"({"type": "text", "status": "called"})", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(velmora::events::open_question(server_event(msg(c.message))).has_value(), c.open)
        << c.message;
  }
  const auto request = velmora::events::open_question(server_event(msg(
      R"({"type": "ask_user_input", "message_id": 42, "questions": [
           {"question": "Which \u001b[2J one?", "header": "H",
            "options": [{"label": "A", "description": "first"}, {"label": 7}]},
           "Bare question?", 17]})")));
  ASSERT_TRUE(request);
  EXPECT_EQ(request->message_id, "42");
  EXPECT_EQ(request->message_type, "ask_user_input");
  ASSERT_EQ(request->questions.size(), 2u);
  // Sent back as received, so the service can match its question; shown cleaned.
  EXPECT_EQ(request->questions[0].at("question").as_string(), "Which \x1b[2J one?");
  const auto shown = velmora::events::question_maps(
      msg(R"({"questions": [{"question": "Which \u001b[2J one?"}]})"));
  EXPECT_EQ(shown[0].at("question").as_string(), "Which ␛[2J one?");
  EXPECT_EQ(request->questions[0].at("options").as_array()[1].at("label").as_int64(), 7);
  EXPECT_EQ(request->questions[1].at("question").as_string(), "Bare question?");
}

}  // namespace
