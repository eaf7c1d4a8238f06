// `velmora` in a real terminal (tmux): colour where the terminal takes it, none where it
// should not.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "test_support.hpp"

namespace {

using velmora::testing::run_process;
using velmora::testing::TempDir;

std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// One tmux server per test, removed with it.
class Terminal {
 public:
  Terminal()
      : socket_("velmora-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(++count_)) {}
  ~Terminal() { (void)tmux({"kill-server"}); }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Runs `command` in a fresh 100x12 terminal and returns the screen with its styles once the
  // command has ended.
  std::optional<std::string> run(const std::string& command) {
    const auto started = tmux(
        {"new-session", "-d", "-x", "100", "-y", "12", command + "; echo __ended__; sleep 60"});
    if (started.exit_code != 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      const auto screen = tmux({"capture-pane", "-p", "-e"});
      if (screen.out.find("__ended__") != std::string::npos) return screen.out;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
  }

 private:
  velmora::testing::ProcessResult tmux(std::vector<std::string> args) {
    args.insert(args.begin(), {"-L", socket_, "-f", "/dev/null"});
    return run_process("tmux", {.args = args, .timeout_seconds = 30});
  }

  static inline int count_ = 0;
  std::string socket_;
};

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
    Terminal terminal;
    const auto screen = terminal.run(logout_command(home, c.env));
    ASSERT_TRUE(screen.has_value()) << c.env;
    EXPECT_THAT(*screen, ::testing::HasSubstr("already logged out.")) << c.env;
    // The "already logged out" line is dim: SGR 2 (tmux may merge it with other attributes).
    const bool dim =
        screen->find("\x1b[2m") != std::string::npos || screen->find(";2m") != std::string::npos;
    EXPECT_EQ(dim, c.colour) << c.env << "\n" << *screen;
  }
}

}  // namespace
