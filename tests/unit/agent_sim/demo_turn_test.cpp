#include "demo_turn.hpp"

#include <gtest/gtest.h>

#include "turn_steps.hpp"

namespace {

using namespace velmora::agent_sim;

std::vector<std::string> sent_types(const Steps& steps) {
  std::vector<std::string> types;
  for (const auto& step : steps) {
    if (step.kind == StepKind::send) types.emplace_back(step.frame.at("type").as_string());
    if (step.kind == StepKind::wait_answer) types.emplace_back("<wait>");
    if (step.kind == StepKind::stream) types.emplace_back("<stream>");
    if (step.kind == StepKind::throughput) types.emplace_back("<throughput>");
    if (step.kind == StepKind::complete) types.emplace_back("<complete>");
  }
  return types;
}

TEST(DemoTurn, TriggersAreWholeWords) {
  struct Case {
    std::string query;
    bool ask, free, plan, slow, error;
    std::optional<std::size_t> stream;
  };
  const std::vector<Case> cases = {
      {"plain question", false, false, false, false, false, std::nullopt},
      {"SIM:ASK which one", true, false, false, false, false, std::nullopt},
      {"sim:ask-free tell me", false, true, false, false, false, std::nullopt},
      {"sim:plan sim:slow", false, false, true, true, false, std::nullopt},
      {"oops sim:error", false, false, false, false, true, std::nullopt},
      {"sim:stream=1000", false, false, false, false, false, 1000},
      {"sim:stream=abc sim:asking", false, false, false, false, false, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto t = parse_triggers(c.query);
    EXPECT_EQ(t.ask_options, c.ask) << c.query;
    EXPECT_EQ(t.ask_free, c.free) << c.query;
    EXPECT_EQ(t.plan, c.plan) << c.query;
    EXPECT_EQ(t.slow, c.slow) << c.query;
    EXPECT_EQ(t.error, c.error) << c.query;
    EXPECT_EQ(t.stream, c.stream) << c.query;
  }
}

TEST(DemoTurn, TitlesAndExcerpts) {
  EXPECT_EQ(topic_title("  sim:ask  how do   tides work?"), "How do tides work?");
  EXPECT_EQ(topic_title("sim:plan"), "New conversation");
  EXPECT_EQ(topic_title(std::string(30, 'a') + " " + std::string(30, 'b')),
            "A" + std::string(29, 'a') + "\xE2\x80\xA6");
  // Never cuts a UTF-8 sequence.
  EXPECT_EQ(excerpt("\xC3\xA9\xC3\xA9\xC3\xA9", 3), "\xC3\xA9\xE2\x80\xA6");
}

TEST(DemoTurn, ABelievableTurnEndsWithComplete) {
  const DemoSettings settings;
  const auto first = sent_types(build_demo_turn({"hello", true, "p"}, settings));
  const std::vector<std::string> expected = {
      "agent_thinking",   "topic_message",  "step_discovered", "step_started",
      "tool_execution",   "tool_completed", "step_progress",   "subagent_message",
      "subagent_message", "<stream>",       "<complete>"};
  EXPECT_EQ(first, expected);
  const auto later = sent_types(build_demo_turn({"hello", false, "p"}, settings));
  EXPECT_EQ(std::count(later.begin(), later.end(), "topic_message"), 0);
}

TEST(DemoTurn, TheAnswerIsMarkdownWithHeadingsListCodeAndTable) {
  const auto steps = build_demo_turn({"hello", false, "p"}, DemoSettings{});
  const auto it = std::find_if(steps.begin(), steps.end(),
                               [](const Step& s) { return s.kind == StepKind::stream; });
  ASSERT_NE(it, steps.end());
  const std::string text = expand_placeholders(it->text, {{"topic", "T"}, {"excerpt", "E"}});
  for (const char* part : {"## T", "### ", "\n- ", "```python\n", "| Step | Result |"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(it->message_id, "p-answer");
}

TEST(DemoTurn, TriggersShapeTheTurn) {
  DemoSettings settings;
  settings.pace = 0;
  const auto ask = build_demo_turn({"sim:ask", false, "p"}, settings);
  const auto types = sent_types(ask);
  const auto asked = std::find(types.begin(), types.end(), "ask_message");
  ASSERT_NE(asked, types.end());
  EXPECT_EQ(*(asked + 1), "<wait>");
  const auto wait = std::find_if(ask.begin(), ask.end(),
                                 [](const Step& s) { return s.kind == StepKind::wait_answer; });
  EXPECT_TRUE(wait->fail_on_timeout);

  const auto question = std::find_if(ask.begin(), ask.end(), [](const Step& s) {
    return s.kind == StepKind::send && s.frame.at("type") == "ask_message";
  });
  EXPECT_EQ(question->frame.at("questions").at(0).at("options").as_array().size(), 2u);
  const auto free = build_demo_turn({"sim:ask-free", false, "p"}, settings);
  const auto free_question = std::find_if(free.begin(), free.end(), [](const Step& s) {
    return s.kind == StepKind::send && s.frame.at("type") == "ask_message";
  });
  EXPECT_FALSE(free_question->frame.at("questions").at(0).as_object().contains("options"));

  EXPECT_EQ(sent_types(build_demo_turn({"sim:error", false, "p"}, settings)),
            (std::vector<std::string>{"agent_thinking", "error", "<complete>"}));
  const auto late = sent_types(build_demo_turn({"sim:error-late", false, "p"}, settings));
  ASSERT_GE(late.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(late.end() - 3, late.end()),
            (std::vector<std::string>{"<stream>", "error", "<complete>"}));
  EXPECT_EQ(sent_types(build_demo_turn({"sim:stream=5", false, "p"}, settings)),
            (std::vector<std::string>{"<throughput>", "<complete>"}));
  const auto plan = sent_types(build_demo_turn({"sim:plan", false, "p"}, settings));
  EXPECT_EQ(std::count(plan.begin(), plan.end(), "collection_plan"), 4);

  settings.throughput = 7;
  const auto bench = build_demo_turn({"anything", true, "p"}, settings);
  ASSERT_EQ(bench.size(), 2u);
  EXPECT_EQ(bench[0].count, 7u);
}

TEST(TurnSteps, PlaceholdersAreExpandedOnce) {
  const Placeholders values{{"query", "{{answer}}"}, {"answer", "42"}};
  EXPECT_EQ(expand_placeholders("q={{query}} a={{answer}} x={{nope}} {{", values),
            "q={{answer}} a=42 x={{nope}} {{");
  const auto json = expand_json_placeholders(
      boost::json::value{{"k", "{{answer}}"}, {"list", {"{{answer}}", 1}}}, values);
  EXPECT_EQ(json, (boost::json::value{{"k", "42"}, {"list", {"42", 1}}}));
}

TEST(TurnSteps, ChunksNeverSplitUtf8) {
  const auto chunks = split_chunks(
      "a\xC3\xA9\xE2\x82\xAC"
      "b",
      2);
  EXPECT_EQ(chunks, (std::vector<std::string>{"a\xC3\xA9", "\xE2\x82\xAC", "b"}));
  EXPECT_TRUE(split_chunks("", 4).empty());
}

}  // namespace
