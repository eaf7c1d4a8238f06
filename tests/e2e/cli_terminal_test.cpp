// `velmora` in a real terminal (tmux): colour where the terminal takes it, none where it
// should not.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tmux_terminal.hpp"

namespace {

using velmora::testing::shell_quote;
using velmora::testing::TempDir;
using velmora::testing::TmuxTerminal;

// Runs `command` in a fresh 100x12 terminal and returns the screen with its styles once the
// command has ended.
std::optional<std::string> run_in_terminal(const std::string& command) {
  TmuxTerminal terminal(command + "; echo __ended__; sleep 60", {.width = 100, .height = 12});
  if (!terminal.started() || !terminal.wait_for("__ended__", 60)) return std::nullopt;
  return terminal.styled();
}

std::string logout_command(const TempDir& home, const std::string& env) {
  return "env TERM=xterm-256color " + env +
         " XDG_CONFIG_HOME=" + shell_quote((home.path() / "config").string()) + " " +
         shell_quote(VELMORA_BIN) + " logout";
}

TEST(CliTerminal, ColourOnlyWhereTheTerminalTakesIt) {
  struct Case {
    const char* env;
    bool colour;
  };
  const std::vector<Case> cases = {
      {"", true}, {"NO_COLOR=0", true}, {"NO_COLOR=1", false}, {"TERM=dumb", false}};
  for (const auto& c : cases) {
    TempDir home;
    const auto screen = run_in_terminal(logout_command(home, c.env));
    ASSERT_TRUE(screen.has_value()) << c.env;
    EXPECT_THAT(*screen, ::testing::HasSubstr("already logged out.")) << c.env;
    // The "already logged out" line is dim: SGR 2 (tmux may merge it with other attributes).
    const bool dim =
        screen->find("\x1b[2m") != std::string::npos || screen->find(";2m") != std::string::npos;
    EXPECT_EQ(dim, c.colour) << c.env << "\n" << *screen;
  }
}

}  // namespace
