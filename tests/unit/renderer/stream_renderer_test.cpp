#include "velmora/renderer/stream_renderer.hpp"

#include <algorithm>
#include <ctime>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "renderer_harness.hpp"
#include "test_support.hpp"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using velmora::renderer::RendererOptions;
using velmora::renderer::testing::Harness;
using velmora::renderer::testing::tagged;

bool contains_escape(const std::string& text) { return text.find('\x1b') != std::string::npos; }

// ---- plain consumers (IM profile)

TEST(ImProfile, OneShotAnswerIsWrittenOnceAtFlush) {
  Harness h(false, RendererOptions{.one_shot = true});
  h.renderer->reset_turn_state();
  h.feed(R"({"type": "text_delta", "message_id": "m1", "delta": "# Answer\n\nPart "})");
  h.feed(R"({"type": "text_delta", "message_id": "m1", "delta": "one."})");
  h.feed(R"({"type": "text", "message_id": "m1", "content": "# Answer\n\nPart one."})");
  h.feed(R"({"type": "answer", "content": "Second message."})");
  EXPECT_EQ(h.text(), "");
  h.feed(R"({"type": "complete"})");
  h.renderer->flush_deferred_output();
  EXPECT_EQ(h.text(), "# Answer\n\nPart one.\n\nSecond message.\n");
  h.sink->clear();
  h.renderer->flush_deferred_output();
  EXPECT_EQ(h.text(), "") << "flushing twice writes nothing more";
}

TEST(ImProfile, ShowsOnlyWhatPlainOutputCountsAsVisible) {
  struct Case {
    std::string message;
    std::string shown;  // "" = nothing
  };
  const std::vector<Case> cases{
      {R"({"type": "tool_execution", "tool_name": "Bash", "input": {"command": "ls"}})", ""},
      {R"({"type": "tool_completed", "tool_name": "Bash", "output": "x", "is_error": true})", ""},
      {R"({"type": "agent_thinking", "content": "hmm"})", ""},
      {R"({"type": "commentary", "content": "note"})", ""},
      {R"({"type": "step_started", "title": "Search"})", ""},
      {R"({"type": "topic_message", "message": "Topic"})", ""},
      {R"({"type": "heartbeat"})", ""},
      {R"({"type": "complete", "duration_ms": 1200})", ""},
      {R"({"type": "mcp_message", "name": "db", "status": "called", "content": "q"})", ""},
      {R"({"type": "skill_message", "name": "pdf", "status": "answered", "content": "ok"})", ""},
      {R"({"type": "mcp_message", "name": "db", "status": "error", "content": "timeout"})",
       "MCP db failed: timeout\n"},
      {R"({"type": "subagent_message", "name": "r", "status": "failed"})", "Agent r failed\n"},
      {R"({"type": "error", "message": "quota exceeded", "code": 429})",
       "Error: quota exceeded (429)\n"},
      {R"({"type": "ask_message", "message_id": "q1", "status": "called",
           "questions": [{"question": "Pick one", "options": [{"label": "A"}, {"label": "B"}]}]})",
       "Question: Pick one\n  1. A\n  2. B\n"},
      {R"({"type": "mystery", "payload": {"text": "from payload"}})", "from payload\n"},
      {R"({"type": "mystery", "value": 3})", ""},
      {R"({"type": "_raw", "raw": "not json"})", ""},
  };
  for (const auto& c : cases) {
    Harness h(false);
    h.feed(c.message);
    EXPECT_EQ(h.text(), c.shown) << c.message;
  }
}

TEST(ImProfile, InteractiveAnswersStreamAsTheyComeWithoutRepeats) {
  Harness h(false);
  h.feed(R"({"type": "text_delta", "message_id": "m1", "delta": "Hel"})");
  EXPECT_EQ(h.text(), "Hel");
  h.feed(R"({"type": "text_delta", "message_id": "m1", "delta": "lo"})");
  h.feed(R"({"type": "text", "message_id": "m1", "content": "Hello world"})");
  h.feed(R"({"type": "text_delta", "message_id": "m2", "delta": "Next"})");
  h.feed(R"({"type": "complete"})");
  h.renderer->flush_deferred_output();
  EXPECT_EQ(h.text(), "Hello world\n\nNext\n");
}

TEST(ImProfile, NeverWritesEscapeCodes) {
  Harness h(false, RendererOptions{.debug = true});
  h.renderer->reset_turn_state();
  h.feed(R"({"type": "text", "content": "**bold** \u001b[31mred\u001b]0;title\u0007"})");
  h.feed(R"({"type": "error", "message": "\u001b[2J"})");
  h.feed(R"({"type": "_raw", "raw": "\u001b[H"})");
  h.feed(R"({"type": "collection_plan", "items": [{"title": "a", "status": "in_progress"}]})");
  h.renderer->render_session_notice("warned", true);
  h.renderer->render_invocation_error("Failed.", "Retry.", std::string("boom"), false);
  h.renderer->render_help();
  h.renderer->render_banner({.thread_id = "t"});
  EXPECT_FALSE(contains_escape(h.text())) << h.text();
  EXPECT_THAT(h.text(), HasSubstr("**bold** ␛[31mred␛]0;title␇"));
  EXPECT_EQ(h.live->updates, 0);
}

TEST(ImProfile, OneShotSkipsReplayedHistory) {
  Harness h(false, RendererOptions{.one_shot = true});
  h.feed(R"({"type": "text", "content": "old answer"})", true);
  h.feed(R"({"type": "complete"})", true);
  h.feed(R"({"type": "ask_message", "message_id": "q0", "questions": [{"question": "old?"}]})",
         true);
  h.renderer->flush_pending_historical_asks();
  h.renderer->reset_turn_state();
  h.feed(R"({"type": "text", "content": "new answer"})");
  h.renderer->flush_deferred_output();
  EXPECT_EQ(h.text(), "new answer\n");
}

// ---- colour terminal

TEST(TerminalProfile, StreamsBlocksOnceAndShowsTheGrowingOneLive) {
  Harness h(true);
  h.renderer->reset_turn_state();
  h.feed(R"({"type": "text_delta", "message_id": "m", "delta": "First **paragraph**"})");
  EXPECT_EQ(h.text(), "");
  ASSERT_GE(h.live->lines.size(), 2u);
  EXPECT_EQ(tagged(h.live->lines[0]), "First {bold}paragraph{/}");
  h.feed(R"({"type": "text_delta", "message_id": "m", "delta": ".\n\nSecond"})");
  EXPECT_EQ(h.text(), "") << "the second block has not started on a complete line yet";
  h.feed(R"({"type": "text_delta", "message_id": "m", "delta": " block\n"})");
  EXPECT_EQ(h.take(), "First {bold}paragraph{/}.\n");
  EXPECT_EQ(tagged(h.live->lines[1]), "Second block");
  h.feed(
      R"({"type": "text", "message_id": "m", "content": "First **paragraph**.\n\nSecond block\n"})");
  EXPECT_EQ(h.take(), "\nSecond block\n");
  h.feed(R"({"type": "complete"})");
  EXPECT_THAT(h.live->lines, ElementsAre()) << "nothing stays live after the turn";
  EXPECT_EQ(h.take(), "");
}

TEST(TerminalProfile, StatusLineShowsWhatTheAgentDoesAndElapsedTime) {
  Harness h(true);
  h.renderer->reset_turn_state();
  ASSERT_EQ(h.live->lines.size(), 1u);
  EXPECT_EQ(tagged(h.live->lines[0]), "{cyan}⠋{/} Thinking…{dim} (0s){/}");
  h.clock += 12.25;
  h.feed(R"({"type": "step_started", "step_id": "s1", "title": "Searching the web"})");
  EXPECT_EQ(tagged(h.live->lines[0]), "{cyan}⠹{/} Searching the web{dim} (12s){/}");
  h.feed(R"({"type": "step_progress", "step_id": "s1", "progress": 0.5})");
  EXPECT_THAT(tagged(h.live->lines[0]), HasSubstr("Searching the web · 50%"));
  h.renderer->stop_thinking_status();
  EXPECT_THAT(h.live->lines, ElementsAre());
  h.feed(R"({"type": "agent_thinking", "content": "..."})");
  EXPECT_THAT(tagged(h.live->lines[0]), HasSubstr("Thinking…"));
  h.renderer->set_live_status_enabled(false);
  EXPECT_THAT(h.live->lines, ElementsAre());
  h.renderer->set_live_status_enabled(true);
  EXPECT_EQ(h.live->lines.size(), 1u);
  h.feed(R"({"type": "terminated"})");
  EXPECT_THAT(h.live->lines, ElementsAre());
  EXPECT_EQ(h.take(), "") << "the status line never reaches the scrollback";
}

TEST(TerminalProfile, HistoryReplayShowsNoLiveStatus) {
  Harness h(true);
  h.renderer->begin_historical_replay();
  h.feed(R"({"type": "agent_thinking", "content": "old"})", true);
  h.feed(R"({"type": "tool_execution", "tool_use_id": "t", "tool_name": "Read"})", true);
  EXPECT_THAT(h.live->lines, ElementsAre());
  EXPECT_EQ(h.take(), "{bold}● Read{/}\n");
}

TEST(TerminalProfile, ToolCallsAndResults) {
  Harness h(true);
  h.feed(R"({"type": "tool_execution", "tool_use_id": "t1", "tool_name": "Bash",
             "input": {"command": "ls -la\nsecond line", "timeout": 5}})");
  h.feed(R"({"type": "tool_progress", "tool_use_id": "t1", "output": "50%"})");
  EXPECT_THAT(tagged(h.live->lines.back()), HasSubstr("Bash: 50%"));
  h.feed(R"({"type": "tool_completed", "tool_use_id": "t1", "output": "a\nb\nc\n\n"})");
  EXPECT_EQ(h.take(),
            "{bold}● Bash{/}(ls -la)\n"
            "  {green}⎿ {/}{dim}a … (+2 lines){/}\n");

  // A result separated from its call by other output repeats the call line.
  h.feed(
      R"({"type": "tool_execution", "tool_use_id": "t2", "tool_name": "Read", "input": {"file_path": "/x"}})");
  h.feed(R"({"type": "commentary", "content": "looking"})");
  h.feed(
      R"({"type": "tool_completed", "tool_use_id": "t2", "is_error": true, "output": {"error": "denied"}})");
  EXPECT_EQ(h.take(),
            "{bold}● Read{/}(/x)\n"
            "{dim}looking{/}\n"
            "{bold}● Read{/}(/x)\n"
            "  {red}⎿ {\"error\": \"denied\"}{/}\n");

  // One message carrying call and result, then a duplicate completion: printed once.
  h.feed(
      R"({"type": "tool_execution", "tool_use_id": "t3", "tool_name": "Grep", "input": "{\"pattern\": \"TODO\"}", "status": "completed", "output": [{"type": "text", "text": "3 matches"}]})");
  h.feed(R"({"type": "tool_completed", "tool_use_id": "t3", "output": "3 matches"})");
  EXPECT_EQ(h.take(), "{bold}● Grep{/}(TODO)\n  {green}⎿ {/}{dim}3 matches{/}\n");
}

TEST(TerminalProfile, NestedAgentsMcpAndSkills) {
  Harness h(true);
  h.feed(
      R"({"type": "mcp_message", "message_id": "c1", "name": "search", "status": "called", "content": {"query": "rust"}})");
  h.feed(
      R"({"type": "mcp_message", "message_id": "c1", "name": "search", "status": "answered", "content": "5 results"})");
  h.feed(
      R"({"type": "subagent_message", "name": "writer", "status": "error", "content": "crashed"})");
  EXPECT_EQ(h.take(),
            "{bold}● MCP search{/}(rust)\n"
            "  {green}⎿ {/}{dim}5 results{/}\n"
            "{bold}● Agent writer{/}\n"
            "  {red}⎿ crashed{/}\n");
}

TEST(TerminalProfile, AnswerBlocksAreSetOffFromToolLines) {
  Harness h(true);
  h.renderer->reset_turn_state();
  h.feed(R"({"type": "text", "content": "Before."})");
  h.feed(R"({"type": "tool_execution", "tool_use_id": "t", "tool_name": "Read"})");
  h.feed(R"({"type": "text", "content": "After."})");
  h.feed(
      R"({"type": "complete", "duration_ms": 3250, "usage": {"input_tokens": 1200, "output_tokens": 34}})");
  EXPECT_EQ(h.take(),
            "Before.\n"
            "\n{bold}● Read{/}\n"
            "\nAfter.\n"
            "\n{dim}✓ done in 3.2s · 1,234 tokens (1,200 in · 34 out){/}\n");
}

TEST(TerminalProfile, TheTurnSummarySaysHowTheTurnEnded) {
  const struct {
    const char* name;
    bool interrupt;
    const char* error;
    const char* complete;
    const char* expected;
  } cases[] = {
      {"clean", false, nullptr, R"({"type": "complete", "duration_ms": 3000})",
       "Part one, par\n\n{dim}✓ done in 3.0s{/}\n"},
      // The cut text goes to the scrollback at once, marked, before the session's notice.
      {"interrupted", true, nullptr, R"({"type": "complete", "status": "interrupted"})",
       "Part one, par\n{dim}(interrupted){/}\n{yellow}■ {/}{dim}interrupted after 2.5s{/}\n"},
      {"reported as interrupted", false, nullptr,
       R"({"type": "complete", "status": "interrupted", "duration_ms": 1200})",
       "Part one, par\n\n{yellow}■ {/}{dim}interrupted after 1.2s{/}\n"},
      {"agent error", false, R"({"type": "error", "message": "boom"})",
       R"({"type": "complete", "duration_ms": 500, "usage": {"total_tokens": 9}})",
       "Part one, par\n\n{bold red}Error: {/}{red}boom{/}\n"
       "{red}✗ {/}{dim}ended with an error after 0.5s · 9 tokens{/}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h(true);
    h.renderer->reset_turn_state();
    h.feed(R"({"type": "text_delta", "message_id": "m", "delta": "Part one, par"})");
    h.clock += 2.5;
    if (c.interrupt) h.renderer->note_interrupt_sent();
    if (c.error) h.feed(c.error);
    h.feed(c.complete);
    EXPECT_EQ(h.take(), c.expected);
    // The next turn starts clean.
    h.renderer->reset_turn_state();
    h.feed(R"({"type": "complete", "duration_ms": 100})");
    EXPECT_EQ(h.take(), "{dim}✓ done in 0.1s{/}\n");
  }
}

TEST(TerminalProfile, ColourOffTerminalWritesNoEscapesAndNothingLive) {
  Harness h(false);
  // Plain console, but the terminal profile: structure without styling.
  RendererOptions options;
  options.console = std::make_shared<velmora::term::Console>(
      velmora::term::ConsoleOptions{.no_color = true}, h.sink);
  options.live_display = h.live;
  options.width = 40;
  velmora::renderer::StreamRenderer renderer(std::move(options));
  renderer.reset_turn_state();
  for (const auto* delta : {"- one\n", "- two\n\nend ", "[link](https://x.test)\n"}) {
    boost::json::object msg{{"type", "text_delta"}, {"message_id", "m"}, {"delta", delta}};
    renderer.render(velmora::events::server_event(msg));
  }
  renderer.flush_deferred_output();
  EXPECT_EQ(h.text(), "• one\n• two\n\nend link (https://x.test)\n");
  EXPECT_EQ(h.live->updates, 0);
}

// ---- questions

TEST(Questions, QuestionClearsTheLiveRegionForThePanel) {
  Harness h(true);
  h.renderer->reset_turn_state();
  h.feed(R"({"type": "text_delta", "message_id": "m", "delta": "partial answer"})");
  ASSERT_FALSE(h.live->lines.empty());
  ASSERT_TRUE(
      h.feed(R"({"type": "ask_message", "message_id": "q", "questions": [{"question": "?"}]})"));
  EXPECT_THAT(h.live->lines, ElementsAre());
  EXPECT_EQ(h.take(), "partial answer\n") << "the growing block is printed before the panel";
}

TEST(Questions, ReplayedQuestionsAreShownWithTheirAnswersAtRelease) {
  Harness h(true);
  h.renderer->begin_historical_replay();
  EXPECT_FALSE(h.feed(
      R"({"type": "ask_message", "message_id": "q1", "questions": [{"question": "Colour?"}, {"question": "Size?"}]})",
      true));
  EXPECT_FALSE(h.feed(
      R"({"type": "ask_message", "message_id": "q1", "status": "answered", "answers": {"Colour?": "red"}})",
      true));
  EXPECT_FALSE(h.feed(
      R"({"type": "ask_message", "message_id": "q2", "status": "called", "questions": [{"question": "Ok?"}]})",
      true));
  EXPECT_EQ(h.take(), "");
  h.renderer->flush_pending_historical_asks();
  EXPECT_EQ(h.take(),
            "{bold}● Asked{/} Colour?\n  {green}⎿ {/}{dim}red{/}\n"
            "{bold}● Asked{/} Size?\n  {dim}⎿ no answer recorded{/}\n"
            "{bold}● Asked{/} Ok?\n  {dim}⎿ no answer recorded{/}\n");
  h.renderer->flush_pending_historical_asks();
  EXPECT_EQ(h.take(), "") << "each recorded question is shown once";
}

// ---- collection plan

TEST(CollectionPlan, StickyPlanStaysLiveUntilDoneThenEntersTheScrollback) {
  Harness h(true, RendererOptions{.sticky_collection_plan_live = true});
  h.renderer->reset_turn_state();
  h.feed(
      R"({"type": "collect-plan", "items": [{"title": "Gather", "status": "in_progress"}, {"title": "Write"}]})");
  EXPECT_EQ(h.take(), "");
  ASSERT_EQ(h.live->lines.size(), 4u);
  EXPECT_EQ(tagged(h.live->lines[0]), "{bold}Plan{/}");
  EXPECT_EQ(tagged(h.live->lines[1]), "  {bold yellow}◐ Gather{/}");
  EXPECT_EQ(tagged(h.live->lines[2]), "  {dim}☐ {/}Write");
  h.feed(
      R"({"type": "collection_plan", "items": [{"title": "Gather", "status": "completed"}, {"title": "Write", "status": "done"}]})");
  EXPECT_EQ(
      h.take(),
      "{bold}Plan{/}\n  {green}☑ {/}{dim strike}Gather{/}\n  {green}☑ {/}{dim strike}Write{/}\n");
  EXPECT_EQ(h.live->lines.size(), 1u) << "only the status line is left";
}

TEST(CollectionPlan, WithoutStickinessChangesArePrintedOnce) {
  Harness h(true);
  h.feed(R"({"type": "collection_plan", "items": [{"title": "A"}, {"title": "B"}]})");
  h.feed(R"({"type": "collection_plan", "items": [{"title": "A"}, {"title": "B"}]})");
  h.feed(
      R"({"type": "collection_plan", "items": [{"title": "A", "status": "completed"}, {"title": "B"}]})");
  EXPECT_EQ(h.take(),
            "{bold}Plan{/}\n  {dim}☐ {/}A\n  {dim}☐ {/}B\n"
            "  {green}☑ {/}{dim strike}A{/}\n");
}

// ---- thinking

TEST(Thinking, CachedBlocksAreListedAndShownWhole) {
  velmora::testing::ScopedEnv env;
  env.set("TZ", "UTC");
  tzset();
  Harness h(true);
  h.feed(R"({"type": "agent_thinking", "thinking_id": "a1", "content": "Plan the"})");
  h.feed(R"({"type": "agent_thinking", "thinking_id": "a1", "content": " search\nthen answer"})");
  h.feed(R"({"type": "thinking_commentary", "content": "Anonymous one"})");
  h.feed(R"({"type": "thinking_commentary", "content": " continues"})");
  EXPECT_EQ(h.take(), "") << "thinking is not printed as it comes";
  h.renderer->render_thinking_history();
  EXPECT_EQ(h.take(),
            "{bold}Thinking{/}{dim} · /thinking <id> shows one in full{/}\n"
            "{dim}   1  22:13:20  {/}{cyan}a1{/}  Plan the search\n"
            "{dim}   2  22:13:20  {/}{cyan}t1{/}  Anonymous one continues\n");
  h.renderer->render_thinking_history("a1");
  EXPECT_EQ(h.take(), "{bold}Thinking a1{/}{dim} · 22:13:20{/}\nPlan the search then answer\n");
  h.renderer->render_thinking_history("2");
  EXPECT_THAT(h.take(), HasSubstr("Anonymous one continues"));
  h.renderer->render_thinking_history("nope[red]");
  EXPECT_EQ(h.take(), "{red}No thinking block nope[red].{/}{dim} /thinking lists them.{/}\n");
}

TEST(Thinking, EmptyHistorySaysSo) {
  Harness h(false);
  h.renderer->render_thinking_history();
  EXPECT_EQ(h.text(), "No thinking recorded in this session yet.\n");
}

// ---- other kinds

TEST(OtherKinds, RawFramesOnlyWithDebug) {
  Harness quiet(true);
  quiet.feed(R"({"type": "_raw", "raw": "garbage"})");
  EXPECT_EQ(quiet.take(), "");
  Harness debug(true, RendererOptions{.debug = true});
  debug.feed(R"({"type": "_raw", "raw": "garbage"})");
  EXPECT_EQ(debug.take(), "{dim}raw frame: garbage{/}\n");
}

TEST(OtherKinds, ErrorsTopicsAndConnectionLoss) {
  Harness h(true);
  h.feed(R"({"type": "error", "message": "bad [red]thing[/red]", "code": "E1"})");
  h.feed(R"({"type": "topic_message", "payload": {"title": "Trip plan"}})");
  h.feed(R"({"type": "_connection_error", "error_message": "reset by peer"})");
  EXPECT_EQ(h.take(),
            "{bold red}Error: {/}{red}bad [red]thing[/red]{/}{dim} (E1){/}\n"
            "{dim}topic: Trip plan{/}\n"
            "{yellow}Connection lost{/}{dim}: reset by peer{/}\n");
}

TEST(Robustness, AnyShapeRendersWithoutErrorOrInjectedControls) {
  const std::vector<std::string> messages{
      R"({})",
      R"({"type": null})",
      R"({"type": 5, "content": "five"})",
      R"({"type": ["text"]})",
      R"({"type": "text", "content": 12})",
      R"({"type": "text", "content": {"text": "nested"}})",
      R"({"type": "text_delta", "delta": null, "message_id": {"a": 1}})",
      R"({"type": "tool_execution", "input": [1, [2, [3, [4, [5, [6, [7, [8]]]]]]]], "tool_name": 3})",
      R"({"type": "tool_completed", "output": {"content": {"content": {"content": {"content": {"content": "deep"}}}}}})",
      R"({"type": "collection_plan", "items": "not a list"})",
      R"({"type": "collection_plan", "items": [null, 3, {"title": {"x": 1}}, {"title": "ok", "status": 9}]})",
      R"({"type": "ask_message", "questions": {"question": "x"}})",
      R"({"type": "ask_message", "status": "answered", "answers": [1, {"question": 2, "answer": [3]}]})",
      R"({"type": "complete", "duration_ms": "soon", "usage": [1]})",
      R"({"type": "complete", "duration_ms": -5, "usage": {"input_tokens": -1, "total_tokens": 1e300}})",
      R"({"type": "step_progress", "progress": {"a": 1}, "title": ["x"]})",
      R"({"type": "agent_thinking", "thinking_id": {"id": 1}, "content": [1, 2]})",
      R"({"type": "mcp_message", "status": 0, "name": null})",
      R"({"type": "error"})",
      R"({"type": "unknown", "payload": "not an object"})",
      R"({"type": "text", "content": "\u001b]8;;http://evil\u0007click\u001b]8;;\u0007 \u009b2J"})",
      R"j({"type": "text", "content": "[x](https://ok.test/\u001b[2J)"})j",
  };
  for (const bool terminal : {true, false}) {
    Harness h(terminal, RendererOptions{.debug = true});
    h.renderer->reset_turn_state();
    for (const auto& message : messages) {
      EXPECT_NO_THROW(h.feed(message)) << message;
    }
    h.renderer->flush_deferred_output();
    const std::string out = h.take();
    EXPECT_THAT(out, Not(HasSubstr("{ESC}"))) << out;
    EXPECT_THAT(out, Not(HasSubstr("{link=http://evil"))) << out;
    EXPECT_THAT(out, HasSubstr("nested"));
    EXPECT_THAT(out, HasSubstr("five"));
    for (const auto& line : h.live->lines) EXPECT_THAT(tagged(line), Not(HasSubstr("{ESC}")));
  }
}

// The live region's lines, tagged, one per line.
std::string live_text(const Harness& h) {
  std::string text;
  for (const auto& line : h.live->lines) text += tagged(line) + "\n";
  return text;
}

TEST(TerminalProfile, ALongGrowingBlockIsPreviewedFromItsTailAndCodeStaysCode) {
  Harness h(true);
  h.renderer->reset_turn_state();
  std::string code = "```python\n";
  for (int i = 0; i < 5000; ++i)
    code += "x = " + std::to_string(i) + "\n# comment " + std::to_string(i) + "\n";
  boost::json::object delta{{"type", "text_delta"}, {"message_id", "m"}, {"delta", code}};
  h.renderer->render(velmora::events::server_event(delta));
  EXPECT_EQ(h.text(), "") << "an open code block is not printed yet";
  ASSERT_FALSE(h.live->lines.empty());
  // Still code far past the fence: a comment line is not taken for a heading.
  EXPECT_THAT(live_text(h), HasSubstr("# comment 4999"));

  Harness p(true);
  p.renderer->reset_turn_state();
  std::string paragraph;
  for (int i = 0; i < 20000; ++i) paragraph += "word" + std::to_string(i) + " ";
  delta = {{"type", "text_delta"}, {"message_id", "m"}, {"delta", paragraph}};
  p.renderer->render(velmora::events::server_event(delta));
  ASSERT_FALSE(p.live->lines.empty());
  EXPECT_THAT(live_text(p), HasSubstr("word19999"));
  p.feed(R"({"type": "complete"})");
  EXPECT_THAT(p.text(), HasSubstr("word0 word1 "));
  EXPECT_THAT(p.text(), HasSubstr("word19999"));
}

TEST(TerminalProfile, ALongCodeBlockIsPrintedInPiecesAsItWouldBeWhole) {
  std::string code = "Before.\n\n```text\n";
  for (int i = 0; i < 24000; ++i) code += "line " + std::to_string(i) + "\tend\n";
  code += "```\n\nAfter.";
  Harness whole(true);
  whole.renderer->reset_turn_state();
  whole.renderer->render(velmora::events::server_event(
      boost::json::object{{"type", "text"}, {"message_id", "m"}, {"content", code}}));
  const std::string expected = whole.text();
  ASSERT_THAT(expected, HasSubstr("line 23999"));

  for (const bool settled : {false, true}) {
    Harness h(true);
    h.renderer->reset_turn_state();
    const std::size_t close = code.find("```\n\nAfter");
    for (std::size_t at = 0; at < code.size(); at += 4000) {
      if (at <= close && close < at + 4000) {
        EXPECT_THAT(h.text(), HasSubstr("line 15000")) << "lines print before the block closes";
      }
      h.renderer->render(velmora::events::server_event(boost::json::object{
          {"type", "text_delta"}, {"message_id", "m"}, {"delta", code.substr(at, 4000)}}));
    }
    if (settled) {
      h.renderer->render(velmora::events::server_event(
          boost::json::object{{"type", "text"}, {"message_id", "m"}, {"content", code}}));
    }
    h.feed(R"({"type": "complete"})");
    std::string out = h.text();
    out = out.substr(0, out.find("After.") + 6);
    EXPECT_EQ(out, expected.substr(0, expected.find("After.") + 6)) << "settled " << settled;
  }
}

TEST(TerminalProfile, ALongParagraphIsPrintedInWindowsAsItWouldBeWhole) {
  // One that can be cut goes out in Markdown windows; one that cannot (a lone "*" early on)
  // goes out as plain text once past what is ever parsed as Markdown, as it would whole.
  std::string cuttable = "Start";
  for (int i = 0; cuttable.size() < (300 << 10); ++i) {
    cuttable += i % 7 == 0   ? " **strong " + std::to_string(i) + "**"
                : i % 5 == 0 ? " `co de`  [link](https://l.test/" + std::to_string(i) + ")"
                             : " 漢字 word" + std::to_string(i);
  }
  std::string uncuttable = "Start *lone";
  for (int i = 0; uncuttable.size() < (1100 << 10); ++i) {
    uncuttable += (i % 9 == 0 ? "\t漢字 word" : " word") + std::to_string(i);
  }
  for (const std::string& paragraph : {cuttable, uncuttable}) {
    const std::string answer = "Before.\n\n" + paragraph + " theend\n\nAfter.";
    Harness whole(true);
    whole.renderer->reset_turn_state();
    whole.renderer->render(velmora::events::server_event(
        boost::json::object{{"type", "text"}, {"message_id", "m"}, {"content", answer}}));
    std::string expected = whole.text();
    ASSERT_THAT(expected, HasSubstr("theend"));
    expected.resize(expected.find("theend"));

    Harness h(true);
    h.renderer->reset_turn_state();
    for (std::size_t at = 0, end = 0; at < answer.size(); at = end) {
      // Deltas carry whole characters.
      end = std::min(at + (64 << 10), answer.size());
      while (end < answer.size() && (static_cast<unsigned char>(answer[end]) & 0xC0) == 0x80) ++end;
      h.renderer->render(velmora::events::server_event(boost::json::object{
          {"type", "text_delta"}, {"message_id", "m"}, {"delta", answer.substr(at, end - at)}}));
    }
    EXPECT_GT(h.text().size(), paragraph.size() / 2) << "most is printed before the answer ends";
    h.feed(R"({"type": "complete"})");
    std::string out = h.text();
    out.resize(std::min(out.find("theend"), out.size()));
    const auto differ = std::mismatch(out.begin(), out.end(), expected.begin(), expected.end());
    EXPECT_TRUE(out == expected)
        << paragraph.substr(0, 20) << ": differs at " << differ.first - out.begin() << " of "
        << out.size() << "/" << expected.size() << ": "
        << std::string(differ.first, std::min(differ.first + 80, out.end())) << " | "
        << std::string(differ.second, std::min(differ.second + 80, expected.end()));
  }
}

TEST(Robustness, HugeAnswerIsShownWhole) {
  Harness h(true);
  std::string big(3 << 20, 'x');
  for (std::size_t i = 100; i < big.size(); i += 100) big[i] = ' ';
  boost::json::object msg{{"type", "text"}, {"content", big}};
  h.renderer->render(velmora::events::server_event(msg));
  const std::string out = h.text();
  EXPECT_EQ(std::count(out.begin(), out.end(), 'x'), std::count(big.begin(), big.end(), 'x'));
}

// ---- panels

TEST(Panels, NoticesErrorsHelpAndBanner) {
  Harness h(true,
            RendererOptions{.help_entries = {{"/help", "show available commands"},
                                             {"/resume <thread_id>", "resume a specific thread"}},
                            .version = "1.2.3",
                            .workspace_cwd = "/work/proj",
                            .workspace_branch = "main"});
  h.renderer->render_session_notice("reusing thread [abc]");
  h.renderer->render_session_notice("requested thread x, server resumed y", true);
  EXPECT_EQ(h.take(),
            "{dim}reusing thread [abc]{/}\n{yellow}requested thread x, server resumed y{/}\n");

  h.renderer->render_invocation_error("Could not connect.", "Check --url.",
                                      std::string("line one\nline two"), false);
  EXPECT_EQ(h.take(),
            "{bold red}✗ Could not connect.{/}\n  Check --url.\n"
            "  {dim}line one (--debug shows the full detail){/}\n");
  h.renderer->render_invocation_error("Could not connect.", "", std::string("line one\nline two"),
                                      true);
  EXPECT_EQ(h.take(),
            "{bold red}✗ Could not connect.{/}\n  {dim}line one{/}\n  {dim}line two{/}\n");
  h.renderer->render_invocation_error("No answer.", "Retry.", std::nullopt, false);
  EXPECT_EQ(h.take(), "{bold red}✗ No answer.{/}\n  Retry.\n");

  h.renderer->render_help();
  EXPECT_EQ(h.take(),
            "{bold}Commands{/}\n"
            "  {cyan}/help{/}                {dim}show available commands{/}\n"
            "  {cyan}/resume <thread_id>{/}  {dim}resume a specific thread{/}\n");

  h.renderer->render_banner({.endpoint = "ws://127.0.0.1:9/v3", .user_id = "u1", .language = "en"});
  const std::string banner = h.take();
  EXPECT_THAT(banner, HasSubstr("Velmora CLI{/}{dim} v1.2.3"));
  EXPECT_THAT(banner, HasSubstr("(awaiting metadata)"));
  EXPECT_THAT(banner, HasSubstr("ws://127.0.0.1:9/v3"));
  EXPECT_THAT(banner, HasSubstr("main"));
  h.renderer->render_banner({.endpoint = "ws://secret",
                             .user_id = "u1",
                             .thread_id = "t9",
                             .hide_session_details = true});
  const std::string hidden = h.take();
  for (const auto* secret : {"ws://secret", "u1", "t9"})
    EXPECT_THAT(hidden, Not(HasSubstr(secret)));
  EXPECT_THAT(hidden, HasSubstr("session details hidden"));
}

// ---- live ticker

TEST(LiveTicker, RedrawsTheStatusWhileTheTurnRunsAndStopsWithTheRenderer) {
  boost::asio::io_context io;
  auto sink = std::make_shared<velmora::term::StringSink>();
  auto live = std::make_shared<velmora::renderer::testing::FakeLiveDisplay>();
  double clock = 0;
  RendererOptions options;
  options.console = std::make_shared<velmora::term::Console>(
      velmora::term::ConsoleOptions{
          .force_terminal = true, .no_color = false, .color_system = "standard"},
      sink);
  options.live_display = live;
  options.executor = io.get_executor();
  options.width = 60;
  options.live_tick_seconds = 0.02;
  options.monotonic_clock = [&clock] { return clock += 0.1; };
  auto renderer = std::make_unique<velmora::renderer::StreamRenderer>(std::move(options));
  renderer->reset_turn_state();
  const int before = live->updates;
  for (int i = 0; i < 500 && live->updates < before + 5; ++i)
    io.run_one_for(std::chrono::seconds(10));
  EXPECT_GE(live->updates, before + 5);
  renderer.reset();
  io.run_for(std::chrono::milliseconds(100));  // a stale tick must not touch the renderer
  EXPECT_EQ(sink->text(), "");
}

}  // namespace
