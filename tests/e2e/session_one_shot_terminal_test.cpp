// A one-shot run in a real terminal (tmux) that is ended from outside while it streams: the
// terminal is left as it was found.
#include <sys/types.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <sstream>

#include "session_machine.hpp"

namespace {

using session_e2e::session_args;
using session_e2e::SessionMachine;
using session_e2e::Terminal;
using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::SimProcess;

/// The program the terminal's shell runs (`env` replaced itself with it), or 0.
pid_t program_pid(Terminal& terminal) {
  const std::string shell = terminal.pane_format("#{pane_pid}");
  if (shell.empty()) return 0;
  std::istringstream children(
      velmora::testing::read_file("/proc/" + shell + "/task/" + shell + "/children"));
  pid_t pid = 0;
  children >> pid;
  return pid;
}

TEST(SessionOneShotTerminal, EndedBySigtermOrSighupMidAnswerTheCursorAndScreenAreRestored) {
  for (const int signo : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signo);
    SimProcess sim({"--pace", "0", "--slow-delay", "0.05", "--slow-count", "600"});
    SessionMachine machine;
    // The token comes from the folder's .env: the shell around the program prints the killed
    // command line (with its environment), which the test output would otherwise carry.
    velmora::testing::write_file(
        machine.home() / ".env",
        "VELMORA_AUTH_TOKEN=" + std::string(velmora::testing::SESSION_TOKEN) + "\n");
    Terminal terminal(machine,
                      {"--url", sim.ws_url(), "--user-id", "u1", "--query", "long sim:slow"}, {},
                      80, 24);
    ASSERT_TRUE(terminal.wait_for("Part 2 of a long answer")) << terminal.screen();
    // The live status line is drawn, and with it the cursor hidden.
    ASSERT_TRUE(terminal.wait_visible("Writing…")) << terminal.screen();
    ASSERT_EQ(terminal.pane_format("#{cursor_flag}"), "0");

    const pid_t pid = program_pid(terminal);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, signo), 0);
    EXPECT_EQ(terminal.wait_for_exit(), 128 + signo) << terminal.screen();
    EXPECT_EQ(terminal.pane_format("#{cursor_flag}"), "1");
    EXPECT_THAT(terminal.visible(), Not(HasSubstr("Writing…")));
    EXPECT_EQ(terminal.stty_after(), terminal.stty_before());
  }
}

TEST(SessionOneShotTerminal, AnAgentErrorWithoutAnAnswerFailsTheRunAndTheSummarySaysSo) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  const struct {
    const char* query;
    int status;
    const char* shown;
  } cases[] = {
      {"oops sim:error", 1, "Error: The agent could not finish this request"},
      {"tides sim:error-late", 0, "Write the answer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    Terminal terminal(machine, session_args(sim, {"--query", c.query}), {}, 100, 40);
    EXPECT_EQ(terminal.wait_for_exit(), c.status) << terminal.screen();
    const std::string screen = terminal.screen();
    EXPECT_THAT(screen, HasSubstr(c.shown));
    EXPECT_THAT(screen, HasSubstr("✗ ended with an error after "));
    EXPECT_THAT(screen, Not(HasSubstr("✓ done")));
  }
}

}  // namespace
