// The prompt shell and the terminal it runs in (tmux): Ctrl+C during and between turns, the
// modes left behind, and window-size changes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "session_machine.hpp"

namespace {

using session_e2e::PLACEHOLDER_LINE;
using session_e2e::sent_frames;
using session_e2e::sent_types;
using session_e2e::session_args;
using session_e2e::SessionMachine;
using session_e2e::Terminal;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::count_of;
using velmora::testing::has;
using velmora::testing::lines_of;
using velmora::testing::shown_after;
using velmora::testing::SimProcess;
namespace json = boost::json;

TEST(ShellTerminal, CtrlCInterruptsATurnAndTwiceEndsTheShellCleanly) {
  SimProcess sim({"--pace", "0", "--slow-delay", "0.05", "--slow-count", "600"});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim), {}, 80, 24);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();

  terminal.type("long sim:slow");
  ASSERT_TRUE(terminal.wait_for("Part 3 of a long answer")) << terminal.screen();
  terminal.keys("C-c");
  ASSERT_TRUE(terminal.wait_for("Interrupt sent. Press Ctrl+C again to exit."))
      << terminal.screen();
  ASSERT_TRUE(sim.wait_for_record([](const json::object& r) {
    return r.at("event") == "ws_frame" && r.at("frame").at("type") == "interrupt";
  }));
  // The simulator ends the interrupted turn; the prompt comes back below what was shown: the
  // cut answer with its mark, the notice, then the summary.
  const auto back = terminal.wait_prompt_after("■ interrupted after ", 60);
  ASSERT_TRUE(back) << terminal.screen();
  EXPECT_THAT(*back, HasSubstr("Part 3 of a long answer"));
  EXPECT_LT(count_of(*back, "of a long answer"), 600u);
  EXPECT_EQ(count_of(*back, "(interrupted)"), 1u) << *back;
  EXPECT_TRUE(shown_after(*back, "Interrupt sent. Press Ctrl+C again to exit.", "(interrupted)"))
      << *back;
  EXPECT_TRUE(shown_after(*back, "■ interrupted after ", "Interrupt sent.")) << *back;
  EXPECT_THAT(*back, Not(HasSubstr("✓ done")));
  const auto rows = lines_of(*back);
  const auto mark = std::find_if(rows.begin(), rows.end(), [](const std::string& row) {
    return row.rfind("(interrupted)", 0) == 0;
  });
  ASSERT_NE(mark, rows.end()) << *back;
  ASSERT_NE(mark, rows.begin());
  EXPECT_FALSE((mark - 1)->empty()) << "the mark sits right under the cut text\n" << *back;

  // Well past the double-press window: the first press only explains, the second ends it.
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  terminal.keys("C-c");
  ASSERT_TRUE(terminal.wait_for("No active turn to interrupt. Press Ctrl+C again to exit."))
      << terminal.screen();
  terminal.keys("C-c");
  EXPECT_EQ(terminal.wait_for_exit(), 0) << terminal.screen();
  const std::string screen = terminal.screen();
  EXPECT_THAT(screen, HasSubstr("Exiting (double Ctrl+C)\n__exit=0__"));
  EXPECT_EQ(count_of(screen, "type / for commands |"), 0u) << screen;
  EXPECT_EQ(terminal.stty_after(), terminal.stty_before());
  EXPECT_EQ(terminal.pane_format("#{cursor_flag}#{alternate_on}"), "10");
  EXPECT_THAT(sent_types(sim), ElementsAre("query", "interrupt", "terminate"));
}

TEST(ShellTerminal, TheTurnSummarySaysWhenTheAgentEndedWithAnError) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim), {}, 80, 24);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();
  terminal.type("oops sim:error");
  const auto failed = terminal.wait_prompt_after("✗ ended with an error after ");
  ASSERT_TRUE(failed) << terminal.screen();
  EXPECT_TRUE(shown_after(*failed, "✗ ended with an error", "Error: The agent could not finish"));
  EXPECT_THAT(*failed, Not(HasSubstr("✓ done")));
  // The next turn ends cleanly and says so.
  terminal.type("fine sim:stream=1");
  const auto fine = terminal.wait_prompt_after("✓ done in ");
  ASSERT_TRUE(fine) << terminal.screen();
  EXPECT_EQ(count_of(*fine, "✗ ended with an error"), 1u);
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
}

TEST(ShellTerminal, DoubleCtrlCDuringATurnEndsTheShellCleanly) {
  SimProcess sim({"--pace", "0", "--slow-delay", "0.05", "--slow-count", "600"});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim), {}, 80, 24);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();
  terminal.type("long sim:slow");
  ASSERT_TRUE(terminal.wait_for("Part 2 of a long answer")) << terminal.screen();
  terminal.keys("C-c");
  ASSERT_TRUE(terminal.wait_for("Interrupt sent.")) << terminal.screen();
  terminal.keys("C-c");
  EXPECT_EQ(terminal.wait_for_exit(), 0) << terminal.screen();
  EXPECT_EQ(terminal.stty_after(), terminal.stty_before());
  EXPECT_EQ(terminal.pane_format("#{cursor_flag}#{alternate_on}"), "10");
  // The live status line went with the program.
  const std::string visible = terminal.visible();
  EXPECT_THAT(visible, HasSubstr("Exiting (double Ctrl+C)\n__exit=0__\n"));
  EXPECT_THAT(visible, Not(HasSubstr("Writing…")));
}

TEST(ShellTerminal, ResizingRedrawsThePromptWithoutLeftovers) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim), {}, 80, 24);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();

  // A long answer fills the screen, so the prompt sits at the bottom.
  terminal.type("tides");
  ASSERT_TRUE(terminal.wait_prompt_after("│ Write the answer", 60)) << terminal.screen();
  terminal.type("a draft that is long enough to wrap when the terminal gets narrow", false);
  ASSERT_TRUE(terminal.wait_visible("> a draft")) << terminal.visible();

  terminal.resize(50, 24);
  ASSERT_TRUE(terminal.wait_until(
      [](const std::string& s) {
        return has(s, "> a draft that is long enough to wrap when the ter\n") &&
               !has(s, "/new fresh session");
      },
      30, true))
      << terminal.visible();
  terminal.resize(120, 40);
  ASSERT_TRUE(terminal.wait_until(
      [](const std::string& s) {
        return has(s, "> a draft that is long enough to wrap when the terminal gets narrow\n") &&
               has(s, "/new fresh session");
      },
      30, true))
      << terminal.visible();
  terminal.resize(45, 20);
  ASSERT_TRUE(terminal.wait_visible("> a draft that is long enough to wrap when th\n"))
      << terminal.visible();
  terminal.resize(80, 24);
  ASSERT_TRUE(terminal.wait_until(
      [](const std::string& s) {
        return has(s, "> a draft that is long enough to wrap when the terminal gets narrow\n") &&
               has(s, "/new fresh session");
      },
      30, true))
      << terminal.visible();

  // Still one editor: typing goes on where it was and the line is sent whole.
  terminal.type(" sim:stream=1");
  ASSERT_TRUE(terminal.wait_prompt_after("token0")) << terminal.screen();
  const auto frames = sent_frames(sim);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].at("query"),
            "a draft that is long enough to wrap when the terminal gets narrow sim:stream=1");

  // Nothing of the earlier drawings is left in the scrollback or on the screen.
  const std::string screen = terminal.screen();
  EXPECT_EQ(count_of(screen, "language - | thread"), 1u) << screen;
  EXPECT_EQ(count_of(screen, "> a draft"), 1u) << screen;
  EXPECT_EQ(count_of(screen, PLACEHOLDER_LINE), 1u) << screen;
  const auto rows = lines_of(terminal.visible());
  ASSERT_FALSE(rows.empty());
  EXPECT_THAT(rows.back(), HasSubstr("| type / for commands | /new fresh session"));
  terminal.keys("C-d");
  EXPECT_EQ(terminal.wait_for_exit(), 0) << terminal.screen();
}

TEST(ShellTerminal, ShorterWindowKeepsThePromptItsMenuAndToolbar) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim), {}, 80, 24);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();
  terminal.type("tides");
  ASSERT_TRUE(terminal.wait_prompt_after("│ Write the answer", 60)) << terminal.screen();

  // The prompt sits at the bottom; the terminal drops the rows below it as it shrinks.
  terminal.resize(80, 12);
  const auto shrunk = terminal.wait_until(
      [](const std::string& s) {
        const auto rows = lines_of(s);
        return rows.size() == 12 && has(rows.back(), "| type / for commands |");
      },
      30, true);
  ASSERT_TRUE(shrunk) << terminal.visible();
  EXPECT_THAT(*shrunk, HasSubstr(PLACEHOLDER_LINE));
  terminal.type("/", false);
  const auto menu = terminal.wait_visible("  /upgrade");
  ASSERT_TRUE(menu) << terminal.visible();
  const auto rows = lines_of(*menu);
  ASSERT_EQ(rows.size(), 12u) << *menu;
  EXPECT_EQ(rows[0], "> /");
  EXPECT_THAT(rows[1], HasSubstr("/help"));
  EXPECT_THAT(rows[11], HasSubstr("| type / for commands |"));
  terminal.keys("BSpace");
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
}

TEST(ShellTerminal, ResizingAnOpenPanelRedrawsItAtTheNewWidth) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  // Tall enough for the panel re-wrapped at the narrower width: rows a terminal pushes into its
  // scrollback while re-wrapping are out of reach of any redraw.
  Terminal terminal(machine, session_args(sim), {}, 80, 40);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();
  terminal.type("pick sim:ask");
  ASSERT_TRUE(terminal.wait_visible("│ ❯ ◉ Short summary")) << terminal.screen();

  const auto border = [](int width) {
    std::string row = "└";
    for (int i = 0; i < width - 2; ++i) row += "─";
    return row + "┘";
  };
  terminal.resize(60, 40);
  ASSERT_TRUE(terminal.wait_visible(border(60))) << terminal.visible();
  terminal.resize(100, 40);
  const auto wide = terminal.wait_visible(border(100));
  ASSERT_TRUE(wide) << terminal.visible();
  EXPECT_EQ(count_of(*wide, "┤ Agent asked for input ├"), 1u) << *wide;
  terminal.keys("Down", "Enter");
  ASSERT_TRUE(terminal.wait_prompt_after("You answered:", 60)) << terminal.screen();
  // One panel in the scrollback, drawn at the last width.
  const std::string screen = terminal.screen();
  EXPECT_EQ(count_of(screen, "Agent asked for input"), 1u) << screen;
  EXPECT_EQ(count_of(screen, "Which format should the answer take?"), 1u) << screen;
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
}

}  // namespace
