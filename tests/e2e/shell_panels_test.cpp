// The question panel and the session picker in a real terminal (tmux) against the simulator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "session_machine.hpp"

namespace {

using session_e2e::PLACEHOLDER_LINE;
using session_e2e::sent_types;
using session_e2e::session_args;
using session_e2e::SessionMachine;
using session_e2e::short_label;
using session_e2e::Terminal;
using session_e2e::thread_of;
using session_e2e::write_script;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::count_of;
using velmora::testing::has;
using velmora::testing::lines_of;
using velmora::testing::shown_after;
using velmora::testing::SimProcess;
namespace json = boost::json;

/// The answers the client sent, serialised.
std::optional<std::string> wait_for_answer(const SimProcess& sim) {
  const auto record = sim.wait_for_record(
      [](const json::object& r) {
        return r.at("event") == "ws_frame" && r.contains("frame") &&
               r.at("frame").at("type") == "ask_message";
      },
      30);
  if (!record) return std::nullopt;
  return json::serialize(record->at("frame").at("answers"));
}

TEST(ShellPanels, QuestionPanelIsAnsweredWithArrowsAndEnter) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim), {}, 80, 24);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();

  terminal.type("pick sim:ask");
  const auto panel = terminal.wait_visible("Tab to type a custom answer for this question");
  ASSERT_TRUE(panel) << terminal.screen();
  EXPECT_THAT(*panel, HasSubstr("┤ Agent asked for input ├"));
  EXPECT_THAT(*panel, HasSubstr("│Which format should the answer take?"));
  EXPECT_THAT(*panel, HasSubstr("│ ❯ ◉ Short summary"));
  EXPECT_THAT(*panel, HasSubstr("│   ○ Detailed report"));
  // The panel hides the cursor; nothing of the prompt shows while it is open.
  EXPECT_EQ(terminal.pane_format("#{cursor_flag}"), "0");
  EXPECT_THAT(*panel, Not(HasSubstr("type / for commands |")));

  terminal.keys("Down");
  ASSERT_TRUE(terminal.wait_visible("│ ❯ ◉ Detailed report")) << terminal.visible();
  terminal.keys("Enter");
  EXPECT_EQ(wait_for_answer(sim), R"({"Which format should the answer take?":"Detailed report"})");

  const auto answered = terminal.wait_prompt_after("You answered:", 60);
  ASSERT_TRUE(answered) << terminal.screen();
  EXPECT_THAT(*answered, HasSubstr("You answered: Detailed report"));
  // The confirmed panel stays above the answer.
  EXPECT_THAT(*answered, HasSubstr("│ ✓ Q1"));
  EXPECT_EQ(count_of(*answered, "┤ Agent asked for input ├"), 1u);
  EXPECT_EQ(terminal.pane_format("#{cursor_flag}"), "1");
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
  EXPECT_EQ(terminal.stty_after(), terminal.stty_before());
}

TEST(ShellPanels, FreeFormQuestionTakesTheCustomAnswerOrTheDefault) {
  struct Case {
    const char* name;
    std::vector<std::string> more_args;
    std::string typed;
    std::string sent;
  };
  const std::vector<Case> cases = {
      {"typed", {}, "the tides 潮汐", "the tides 潮汐"},
      {"nothing typed", {}, "", "later"},
      {"blanks typed, own default", {"--default-freeform-answer", "稍后提供"}, "  ", "稍后提供"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimProcess sim({"--pace", "0"});
    SessionMachine machine;
    Terminal terminal(machine, session_args(sim, c.more_args), {}, 80, 24);
    ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();
    terminal.type("focus sim:ask-free");
    const auto panel = terminal.wait_visible("│Custom answer: ▌");
    ASSERT_TRUE(panel) << terminal.screen();
    EXPECT_THAT(*panel, HasSubstr("│ Free-form answer required"));
    terminal.type(c.typed);
    EXPECT_EQ(wait_for_answer(sim), R"({"What should the answer focus on?":")" + c.sent + "\"}");
    ASSERT_TRUE(terminal.wait_prompt_after("You answered:")) << terminal.screen();
    EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
  }
}

TEST(ShellPanels, QuestionsWhileAnAnswerStreamsTakeOptionsAndTypedAnswers) {
  const velmora::testing::TempDir scripts;
  const auto script = write_script(scripts.path(), R"({"turns": [
    {"match": "mid", "steps": [
      {"stream": {"text": "A paragraph still being written when", "chunk": 6, "delay": 0.02,
                  "message_id": "m1"}},
      {"send": {"type": "ask_message", "message_id": "q1", "questions": [
        {"question": "Pick one", "options": [{"label": "Alpha"}, {"label": "Beta"}]},
        {"question": "And why?"}]}},
      {"wait_answer": {"timeout": 60}},
      {"stream": {"text": " the questions came ({{answer}}).\n\nDone streaming.", "chunk": 6,
                  "delay": 0.02, "message_id": "m1"}},
      {"complete": {}}]}],
    "fallback": "error"})");
  SimProcess sim({"--script", script.string()});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim), {}, 80, 24);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();

  terminal.type("mid");
  const auto panel = terminal.wait_visible("│ ● Q1  ○ Q2");
  ASSERT_TRUE(panel) << terminal.screen();
  EXPECT_THAT(terminal.screen(), HasSubstr("A paragraph still being written when"));

  // The free-form question opens its editor at once; the text survives a trip to Q1.
  terminal.keys("Right");
  ASSERT_TRUE(terminal.wait_visible("│Custom answer: ▌")) << terminal.visible();
  terminal.type("because 理由x", false);
  terminal.keys("BSpace");
  ASSERT_TRUE(terminal.wait_visible("│Custom answer: because 理由▌")) << terminal.visible();
  terminal.keys("Left");
  ASSERT_TRUE(terminal.wait_visible("│ ❯ ◉ Alpha")) << terminal.visible();
  terminal.keys("Down", "Enter");
  ASSERT_TRUE(terminal.wait_visible("│ ✓ Q1  ● Q2")) << terminal.visible();
  terminal.keys("Enter");
  EXPECT_EQ(wait_for_answer(sim), R"({"Pick one":"Beta","And why?":"because 理由"})");

  const auto done = terminal.wait_prompt_after("Done streaming.", 60);
  ASSERT_TRUE(done) << terminal.screen();
  EXPECT_THAT(*done, HasSubstr("the questions came (Beta; because 理由)."));
  EXPECT_EQ(count_of(*done, "type / for commands |"), 1u) << *done;
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
}

TEST(ShellPanels, AQuestionWhileTheUserTypesCoversThePromptUntilAnswered) {
  // The question comes unasked, a while after connecting: the user is typing by then.
  const velmora::testing::TempDir scripts;
  const auto script = write_script(scripts.path(), R"({
    "on_connect": [
      {"delay": 3},
      {"send": {"type": "ask_message", "message_id": "idle-q", "questions": [
        {"question": "Keep the draft?", "options": [{"label": "Yes"}, {"label": "No"}]}]}},
      {"wait_answer": {"timeout": 60}},
      {"send": {"type": "commentary", "content": "noted: {{answer}}"}}],
    "turns": [{"steps": [{"stream": {"text": "echo {{query}}"}}, {"complete": {}}]}]})");
  SimProcess sim({"--script", script.string()});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim), {}, 80, 24);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();
  terminal.type("half typed", false);
  ASSERT_TRUE(terminal.wait_visible("> half typed")) << terminal.visible();

  const auto panel = terminal.wait_visible("│ ❯ ◉ Yes");
  ASSERT_TRUE(panel) << terminal.screen();
  EXPECT_THAT(*panel, Not(HasSubstr("> half typed")));
  EXPECT_THAT(*panel, Not(HasSubstr("type / for commands |")));
  terminal.keys("Down", "Enter");
  EXPECT_EQ(wait_for_answer(sim), R"({"Keep the draft?":"No"})");

  // The prompt comes back below the answered panel with the draft as it was.
  const auto back = terminal.wait_until(
      [](const std::string& s) { return shown_after(s, "> half typed", "noted: No"); });
  ASSERT_TRUE(back) << terminal.screen();
  EXPECT_THAT(*back, Not(HasSubstr("Failed to handle")));
  terminal.type(" and finished");
  ASSERT_TRUE(terminal.wait_for("echo half typed and finished")) << terminal.screen();
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
  EXPECT_EQ(terminal.stty_after(), terminal.stty_before());
}

TEST(ShellPanels, CtrlCInTheQuestionPanelFallsBackToNumberedQuestions) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim), {}, 80, 24);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();

  terminal.type("pick sim:ask");
  ASSERT_TRUE(terminal.wait_visible("│ ❯ ◉ Short summary")) << terminal.screen();
  terminal.keys("C-c");
  const auto plain = terminal.wait_visible("Your answer (1):");
  ASSERT_TRUE(plain) << terminal.visible();
  EXPECT_THAT(*plain, HasSubstr("  1. Short summary\n  2. Detailed report\n"));
  terminal.type("2");
  EXPECT_EQ(wait_for_answer(sim), R"({"Which format should the answer take?":"Detailed report"})");
  ASSERT_TRUE(terminal.wait_prompt_after("You answered:", 60)) << terminal.screen();
  // Closing the panel is no interrupt.
  EXPECT_THAT(terminal.screen(), Not(HasSubstr("Press Ctrl+C again")));
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
  EXPECT_THAT(sent_types(sim), Not(Contains("interrupt")));
}

TEST(ShellPanels, CtrlCAtTheNumberedQuestionEndsItAndInterruptsTheTurn) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim), {}, 80, 24);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();

  terminal.type("pick sim:ask");
  ASSERT_TRUE(terminal.wait_visible("│ ❯ ◉ Short summary")) << terminal.screen();
  terminal.keys("C-c");
  ASSERT_TRUE(terminal.wait_visible("Your answer (1):")) << terminal.visible();
  terminal.keys("C-c");
  // The question is answered as at the end of input (the first option), the press interrupts
  // the turn, and the prompt comes back once the agent ended it.
  EXPECT_EQ(wait_for_answer(sim), R"({"Which format should the answer take?":"Short summary"})");
  const auto back = terminal.wait_prompt_after("Interrupt sent. Press Ctrl+C again to exit.", 10);
  ASSERT_TRUE(back) << terminal.screen();
  EXPECT_THAT(*back, HasSubstr("■ interrupted"));

  // The next line is a query, not a late answer.
  terminal.type("next sim:stream=1");
  ASSERT_TRUE(terminal.wait_prompt_after("token0")) << terminal.screen();
  const auto frames = session_e2e::sent_frames(sim);
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[3].at("type"), "query");
  EXPECT_EQ(frames[3].at("query"), "next sim:stream=1");
  EXPECT_THAT(sent_types(sim), Contains("interrupt"));
  // Past the double-press window of the last press, a double Ctrl+C still ends the shell.
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  terminal.keys("C-c");
  ASSERT_TRUE(terminal.wait_for("No active turn to interrupt.")) << terminal.screen();
  terminal.keys("C-c");
  EXPECT_EQ(terminal.wait_for_exit(), 0) << terminal.screen();
  EXPECT_EQ(terminal.stty_after(), terminal.stty_before());
}

TEST(ShellPanels, CtrlCOrEndOfInputAtTheNumberedSessionListChoosesNothing) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  const auto first = machine.run(session_args(sim, {"--query", "saved sim:stream=1"}));
  ASSERT_EQ(first.exit_code, 0) << first.out << first.err;

  Terminal terminal(machine, session_args(sim), {}, 100, 30);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();
  const std::string own = thread_of(sim.wait_for_records("ws_open", 2).at(1));
  terminal.type("/resume");
  ASSERT_TRUE(terminal.wait_visible("│Search: █")) << terminal.screen();
  terminal.keys("Escape");
  ASSERT_TRUE(terminal.wait_visible("Resume session (1):")) << terminal.visible();
  terminal.keys("C-c");
  const auto back =
      terminal.wait_prompt_after("No active turn to interrupt. Press Ctrl+C again to exit.", 10);
  ASSERT_TRUE(back) << terminal.screen();
  EXPECT_THAT(*back, HasSubstr("thread " + short_label(own) + " |"));

  // End of input (Ctrl+D) at the list chooses nothing either.
  terminal.type("/resume");
  ASSERT_TRUE(terminal.wait_visible("│Search: █")) << terminal.screen();
  terminal.keys("Escape");
  ASSERT_TRUE(terminal.wait_until([](const std::string& s) {
    return count_of(s, "Resume session (1):") == 2;
  })) << terminal.screen();
  terminal.keys("C-d");
  ASSERT_TRUE(terminal.wait_until([](const std::string& s) {
    return shown_after(s, PLACEHOLDER_LINE, "Resume session (1):");
  })) << terminal.screen();

  // The next line is a query on the same session, not a choice from the list.
  terminal.type("after sim:stream=1");
  ASSERT_TRUE(terminal.wait_prompt_after("token0")) << terminal.screen();
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
  const auto frames = session_e2e::sent_frames(sim);
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[2].at("query"), "after sim:stream=1");
  EXPECT_EQ(sim.records("ws_open").size(), 2u);
}

TEST(ShellPanels, PickerFiltersAndResumesWithTheReplayHeldBeforeThePrompt) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  // A long history, so the replay takes a while to show.
  const auto first = machine.run(session_args(sim, {"--query", "tides sim:stream=1500"}));
  ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
  const auto second = machine.run(session_args(sim, {"--query", "other sim:stream=1"}));
  ASSERT_EQ(second.exit_code, 0) << second.out << second.err;
  const auto opened = sim.records("ws_open");
  ASSERT_EQ(opened.size(), 2u);
  const std::string wanted = thread_of(opened[0]);
  const std::string other = thread_of(opened[1]);

  Terminal terminal(machine, session_args(sim), {}, 80, 24);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();
  const std::string own = thread_of(sim.wait_for_records("ws_open", 3).at(2));

  terminal.type("/resume");
  const auto panel = terminal.wait_visible("│Search: █");
  ASSERT_TRUE(panel) << terminal.screen();
  EXPECT_THAT(*panel, HasSubstr("┤ Resume ├"));
  // The newest first: the shell's own session, then the two saved ones.
  const auto own_at = panel->find("▶ " + own);
  const auto other_at = panel->find("  " + other);
  const auto wanted_at = panel->find("  " + wanted);
  ASSERT_NE(own_at, std::string::npos) << *panel;
  ASSERT_NE(other_at, std::string::npos) << *panel;
  ASSERT_NE(wanted_at, std::string::npos) << *panel;
  EXPECT_LT(own_at, other_at);
  EXPECT_LT(other_at, wanted_at);

  terminal.type(wanted.substr(0, 8), false);
  const auto filtered = terminal.wait_until(
      [&](const std::string& s) { return has(s, "▶ " + wanted) && !has(s, other); }, 30, true);
  ASSERT_TRUE(filtered) << terminal.visible();
  EXPECT_THAT(*filtered, Not(HasSubstr("│  " + own)));
  EXPECT_THAT(*filtered, HasSubstr("│Search: " + wanted.substr(0, 8) + "█"));

  terminal.keys("Enter");
  // The prompt for the resumed thread shows only once the whole history has been shown.
  const std::string resumed_toolbar = "thread " + short_label(wanted) + " |";
  const auto back =
      terminal.wait_until([&](const std::string& s) { return has(s, resumed_toolbar); }, 90);
  ASSERT_TRUE(back) << terminal.screen();
  EXPECT_THAT(*back, HasSubstr("token1499")) << "the prompt came back before the replay ended";
  const auto settled = terminal.wait_prompt_after("token1499");
  ASSERT_TRUE(settled) << terminal.screen();
  EXPECT_THAT(*settled, HasSubstr("resuming thread " + wanted));
  // The panel is gone without a trace; one prompt, one toolbar.
  EXPECT_THAT(*settled, Not(HasSubstr("Type to search")));
  EXPECT_EQ(count_of(*settled, "type / for commands |"), 1u);
  const auto reopened = sim.wait_for_records("ws_open", 4).at(3);
  EXPECT_EQ(reopened.at("requested_thread_id"), json::value(wanted));
  EXPECT_EQ(reopened.at("is_new"), false);

  // The replayed turn is history: the next query gets its own answer.
  terminal.type("again sim:stream=2");
  ASSERT_TRUE(terminal.wait_prompt_after("token0 token1\n")) << terminal.screen();
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
}

TEST(ShellPanels, EscapeInThePickerFallsBackToTheNumberedList) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  const auto first = machine.run(session_args(sim, {"--query", "saved sim:stream=1"}));
  ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
  const std::string saved = thread_of(sim.records("ws_open").at(0));

  Terminal terminal(machine, session_args(sim), {}, 100, 30);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();
  const std::string own = thread_of(sim.wait_for_records("ws_open", 2).at(1));

  terminal.type("/resume");
  ASSERT_TRUE(terminal.wait_visible("│Search: █")) << terminal.screen();
  terminal.keys("Escape");
  const auto list = terminal.wait_visible("Resume session (1):");
  ASSERT_TRUE(list) << terminal.visible();
  EXPECT_THAT(*list, HasSubstr("Resume a previous session\nSort: Updated at\n"
                               "Thread ID                              Updated at      Created at\n"
                               "  1. " +
                               own));
  EXPECT_THAT(*list, HasSubstr("\n  2. " + saved));
  EXPECT_THAT(*list, Not(HasSubstr("Type to search")));
  terminal.type("2");
  const auto resumed = terminal.wait_until([&](const std::string& s) {
    return has(s, "thread " + short_label(saved) + " |") &&
           shown_after(s, PLACEHOLDER_LINE, "resuming thread " + saved);
  });
  ASSERT_TRUE(resumed) << terminal.screen();
  EXPECT_EQ(sim.wait_for_records("ws_open", 3).at(2).at("requested_thread_id"), json::value(saved));
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
  EXPECT_EQ(terminal.stty_after(), terminal.stty_before());
}

TEST(ShellPanels, PickerInAShortTerminalKeepsItsSearchLineInView) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  for (int i = 0; i < 4; ++i) {
    const auto run = machine.run(session_args(sim, {"--query", "saved sim:stream=1"}));
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  }
  const std::string oldest = thread_of(sim.records("ws_open").at(0));

  // Five sessions make the panel three rows taller than the terminal.
  Terminal terminal(machine, session_args(sim), {}, 80, 12);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();
  terminal.type("/resume");
  const auto panel = terminal.wait_visible("│Search: █");
  ASSERT_TRUE(panel) << terminal.visible();
  EXPECT_THAT(*panel, HasSubstr("│▶ "));
  EXPECT_THAT(lines_of(*panel).back(), HasSubstr("└──"));

  // Walking down the list scrolls it above the search line.
  terminal.keys("Down", "Down", "Down", "Down");
  const auto walked = terminal.wait_visible("│▶ " + oldest);
  ASSERT_TRUE(walked) << terminal.visible();
  EXPECT_THAT(*walked, HasSubstr("│Search: █"));
  EXPECT_THAT(lines_of(*walked).back(), HasSubstr("└──"));
  terminal.type(oldest.substr(0, 8), false);
  ASSERT_TRUE(terminal.wait_visible("│Search: " + oldest.substr(0, 8) + "█")) << terminal.visible();
  terminal.keys("Enter");
  ASSERT_TRUE(terminal.wait_until([&](const std::string& s) {
    return has(s, "thread " + short_label(oldest) + " |") &&
           shown_after(s, PLACEHOLDER_LINE, "resuming thread " + oldest);
  })) << terminal.screen();
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
}

TEST(ShellPanels, CustomAnswerStaysInViewInAShortTerminal) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  // Two rows too few for the whole panel once the custom answer line opens.
  Terminal terminal(machine, session_args(sim), {}, 80, 11);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();
  terminal.type("pick sim:ask");
  ASSERT_TRUE(terminal.wait_visible("│ ❯ ◉ Short summary")) << terminal.screen();
  terminal.keys("Tab");
  terminal.type("a haiku", false);
  const auto typed = terminal.wait_visible("│Custom answer: a haiku▌");
  ASSERT_TRUE(typed) << terminal.visible();
  EXPECT_THAT(*typed, HasSubstr("│Which format should the answer take?"));
  EXPECT_THAT(lines_of(*typed).back(), HasSubstr("└──"));
  terminal.keys("Enter");
  EXPECT_EQ(wait_for_answer(sim), R"({"Which format should the answer take?":"a haiku"})");
  // The whole panel goes into the scrollback.
  const auto answered = terminal.wait_prompt_after("You answered:", 60);
  ASSERT_TRUE(answered) << terminal.screen();
  EXPECT_EQ(count_of(*answered, "┤ Agent asked for input ├"), 1u) << *answered;
  EXPECT_THAT(*answered, HasSubstr("│Custom answer: a haiku"));
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
}

}  // namespace
