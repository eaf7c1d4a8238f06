#include "velmora/message_kinds.hpp"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

namespace {

namespace json = boost::json;

json::object msg(std::string_view text) { return json::parse(text).as_object(); }

TEST(NormalizeMessageType, FoldsSpellingsAndKeepsEverythingElse) {
  const struct {
    const char* raw;  // JSON text of the type value
    const char* expected;
  } cases[] = {
      {R"("askuserinput")", "ask_message"},
      {R"("ask_user_input")", "ask_message"},
      {R"("ask_message")", "ask_message"},
      {R"("collect-plan")", "collection_plan"},
      {R"("collect_plan")", "collection_plan"},
      {R"("Complete")", "Complete"},
      {R"(" complete")", " complete"},
      {"0", ""},
      {"false", ""},
      {"null", ""},
      {R"("")", ""},
      {"5", "5"},
      {"2.5", "2.5"},
      {"true", "True"},
  };
  for (const auto& c : cases) {
    const json::value raw = json::parse(c.raw);
    EXPECT_EQ(velmora::normalize_message_type(&raw), c.expected) << c.raw;
  }
  EXPECT_EQ(velmora::normalize_message_type(nullptr), "");
}

TEST(MessageClassification, ActivityAndVisibilityPerType) {
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
      {R"({"type": "_connection_error"})", false, false, false},
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
    const auto m = msg(c.message);
    EXPECT_EQ(velmora::message_counts_as_completion_activity(m, false), c.activity) << c.message;
    EXPECT_EQ(velmora::message_counts_as_completion_activity(m, true), c.activity) << c.message;
    EXPECT_EQ(velmora::message_is_user_visible_output(m, false), c.visible_rich) << c.message;
    EXPECT_EQ(velmora::message_is_user_visible_output(m, true), c.visible_plain) << c.message;
  }
}

}  // namespace
