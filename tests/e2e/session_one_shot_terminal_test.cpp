// A one-shot run in a real terminal (tmux): code blocks arrive coloured with their text intact,
// and a run ended from outside while it streams leaves the terminal as it was found.
#include <sys/types.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <regex>
#include <sstream>

#include "session_machine.hpp"

namespace {

using session_e2e::session_args;
using session_e2e::SessionMachine;
using session_e2e::Terminal;
using session_e2e::write_script;
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

TEST(SessionOneShotTerminal, CodeBlocksShowColouredAndTheirTextIsExactlyTheCode) {
  const velmora::testing::TempDir scripts;
  // Streamed in small pieces, so each block grows in the live region before it is complete.
  const auto script = write_script(scripts.path(), R"({"turns": [
    {"match": "code", "steps": [
      {"stream": {"text": "Here:\n\n```python\ndef total(items):\n    return sum(items) + 1  # one more\n```\n\n```diff\n@@ -1 +1 @@\n-old_line = 1\n+new_line = 2\n```\n\n```\nno language here\n```\n\nDone.", "chunk": 7, "delay": 0.01, "message_id": "m1"}},
      {"complete": {}}]}],
    "fallback": "error"})");
  for (const bool colour : {true, false}) {
    SCOPED_TRACE(colour);
    SimProcess sim({"--script", script.string()});
    SessionMachine machine;
    velmora::testing::write_file(
        machine.home() / ".env",
        "VELMORA_AUTH_TOKEN=" + std::string(velmora::testing::SESSION_TOKEN) + "\n");
    std::map<std::string, std::string> env;
    if (!colour) env["NO_COLOR"] = "1";
    Terminal terminal(machine, {"--url", sim.ws_url(), "--user-id", "u1", "--query", "code"}, env,
                      80, 40);
    ASSERT_EQ(terminal.wait_for_exit(60), 0) << terminal.screen();
    // Without styles the lines are exactly the code: nothing added, nothing re-wrapped.
    const std::string plain = terminal.visible();
    for (const char* line :
         {"\ndef total(items):\n", "\n    return sum(items) + 1  # one more\n",
          "\n@@ -1 +1 @@\n-old_line = 1\n+new_line = 2\n", "\nno language here\n"}) {
      EXPECT_THAT(plain, HasSubstr(line)) << plain;
    }
    // With styles: the keyword, the comment and the diff lines each start a coloured run.
    const std::string styled = terminal.styled();
    // The escapes right before `text` set a foreground colour (tmux writes resets as 39/49).
    const auto coloured_before = [&](const std::string& text) {
      const auto at = styled.find(text);
      if (at == std::string::npos) return false;
      std::size_t begin = at;
      while (begin > 0 && styled[begin - 1] == 'm') {
        const auto escape = styled.rfind("\x1b[", begin - 1);
        if (escape == std::string::npos ||
            styled.find_first_not_of("0123456789;", escape + 2) != begin - 1) {
          break;
        }
        begin = escape;
      }
      static const std::regex FOREGROUND("\x1b\\[(3[0-7]|9[0-7]|38;[0-9;]+)m");
      return std::regex_search(styled.substr(begin, at - begin), FOREGROUND);
    };
    for (const char* text : {"def", "# one more", "-old_line", "+new_line"}) {
      EXPECT_EQ(coloured_before(text), colour) << text << "\n" << styled;
    }
    EXPECT_FALSE(coloured_before("no language here")) << styled;
  }
}

}  // namespace
