#include "velmora/shell_input.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include "../term/pty_harness.hpp"
#include "test_support.hpp"
#include "velmora/platform/env.hpp"

namespace {

using namespace velmora;
using velmora::testing::Pty;
using velmora::testing::run_until;
using velmora::testing::ScopedEnv;
using velmora::testing::VirtualTerminal;

constexpr const char* UUID = "0f8fad5b-d9cb-469f-a165-70867728950e";

TEST(ShellToolbar, SegmentsForEveryState) {
  struct Case {
    InteractivePromptState state;
    std::string toolbar;
  };
  const std::vector<Case> cases = {
      {{}, "language - | thread (awaiting metadata) | type / for commands | /new fresh session"},
      {{.language = "", .thread_id = UUID},
       "language - | thread 0f8fad5b...950e | type / for commands | /new fresh session"},
      {{.language = "zh", .thread_id = "abc", .pending_attachment_count = 1},
       "language zh | thread abc | attachment 1 queued | type / for commands | /new fresh session"},
      {{.language = "en",
        .thread_id = UUID,
        .pending_attachment_count = 3,
        .hide_session_details = true},
       "language en | thread (hidden) | attachments 3 queued | type / for commands | /new fresh "
       "session"},
  };
  for (const auto& c : cases) EXPECT_EQ(build_interactive_toolbar(c.state), c.toolbar);
  EXPECT_EQ(build_prompt_toolbar_formatted(cases[0].state),
            (velmora::term::Fragments{{"class:bottom-toolbar", cases[0].toolbar}}));
}

TEST(ShellToolbar, ShortThreadLabel) {
  struct Case {
    std::optional<std::string> id;
    bool hide;
    std::string label;
  };
  const std::vector<Case> cases = {
      {"abcdefghijkl", false, "abcdefghijkl"},
      {"abcdefghijklm", false, "abcdefgh...jklm"},
      {UUID, true, "(hidden)"},
      {std::nullopt, false, "(awaiting metadata)"},
      {"", false, "(awaiting metadata)"},
  };
  for (const auto& c : cases) EXPECT_EQ(short_thread_label(c.id, c.hide), c.label);
  EXPECT_EQ(short_thread_label("abcdefghijklm", false).size(), 15u);
}

TEST(ShellPrompt, PromptAndPlaceholderFragments) {
  EXPECT_EQ(build_interactive_placeholder(), "Ask Velmora anything or type / for commands");
  EXPECT_EQ(build_prompt_message(), (velmora::term::Fragments{{"class:prompt", "> "}}));
  EXPECT_EQ(build_prompt_placeholder_formatted(),
            (velmora::term::Fragments{
                {"class:placeholder", "Ask Velmora anything or type / for commands"}}));
}

TEST(ShellRuntime, CursorPositionRequestOptionFollowsTheEnvironment) {
  struct Case {
    std::optional<std::string> enable;
    std::optional<std::string> existing;
    std::optional<std::string> result;
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::nullopt, "1"},
      {std::nullopt, "0", "0"},
      {" Yes ", std::nullopt, std::nullopt},
      {"on", "keep", "keep"},
      {"2", std::nullopt, "1"},
  };
  for (const auto& c : cases) {
    ScopedEnv env;
    c.enable ? env.set("VELMORA_ENABLE_PROMPT_CPR", *c.enable)
             : env.unset("VELMORA_ENABLE_PROMPT_CPR");
    c.existing ? env.set("PROMPT_TOOLKIT_NO_CPR", *c.existing) : env.unset("PROMPT_TOOLKIT_NO_CPR");
    configure_prompt_toolkit_runtime();
    EXPECT_EQ(velmora::platform::get_env("PROMPT_TOOLKIT_NO_CPR"), c.result)
        << c.enable.value_or("(unset)");
  }
}

TEST(ShellRuntime, DumbTerminalHasNoPromptComponents) {
  ScopedEnv env;
  env.set("TERM", "dumb");
  EXPECT_FALSE(load_prompt_toolkit_components());
  env.set("TERM", "xterm-256color");
  ASSERT_TRUE(load_prompt_toolkit_components());
  EXPECT_TRUE(load_prompt_toolkit_components()->style.has("bottom-toolbar"));
}

struct Piped {
  int in[2];
  int out[2];
  Piped() {
    EXPECT_EQ(::pipe(in), 0);
    EXPECT_EQ(::pipe(out), 0);
  }
  ~Piped() {
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
  }
  void feed(std::string_view text) {
    EXPECT_EQ(::write(in[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  std::string written() {
    ::close(out[1]);
    out[1] = ::open("/dev/null", O_WRONLY);
    std::string s;
    char buf[256];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(n));
    return s;
  }
};

TEST(ShellPlainReader, LinesEmptyLinesAndEndOfInput) {
  Piped p;
  p.feed("first line\r\n\nlast without break");
  ::close(p.in[1]);
  p.in[1] = ::open("/dev/null", O_WRONLY);
  EXPECT_EQ(read_raw_shell_input("\n> ", std::string("Ask"), p.in[0], p.out[1]), "first line");
  EXPECT_EQ(read_raw_shell_input("\n> ", std::nullopt, p.in[0], p.out[1]), "");
  EXPECT_EQ(read_raw_shell_input("\n> ", std::nullopt, p.in[0], p.out[1]), "last without break");
  EXPECT_EQ(read_raw_shell_input("\n> ", std::nullopt, p.in[0], p.out[1]), std::nullopt);
  EXPECT_EQ(p.written(), "\nAsk\n\n> \n> \n> \n> ");
}

TEST(ShellInput, WithoutAScreenItReadsPlainly) {
  InteractiveShellInput input;
  EXPECT_FALSE(input.uses_prompt_toolkit());
  velmora::term::Console console({.no_color = true});
  const auto sink = console.sink();
  { auto patch = input.stdout_patch_context(console); }
  EXPECT_EQ(console.sink(), sink);
}

struct PromptShellFixture : ::testing::Test {
  boost::asio::io_context io;
  Pty pty{100, 24};
  VirtualTerminal vt{100, 24};
  std::shared_ptr<velmora::term::Screen> screen;
  ScopedEnv env;

  void SetUp() override {
    env.set("TERM", "xterm");
    velmora::term::ScreenOptions o;
    o.in_fd = pty.slave();
    o.out_fd = pty.slave();
    o.colors = velmora::term::ColorSystem::none;
    screen = std::make_shared<velmora::term::Screen>(io.get_executor(), o);
  }
  void sync() { vt.feed(pty.drain()); }
  void settle() {
    io.restart();
    io.run_for(std::chrono::milliseconds(60));
    sync();
  }
};

boost::asio::awaitable<void> read_into(InteractiveShellInput& input, InteractivePromptState state,
                                       std::optional<ShellReadResult>& out) {
  out = co_await input.read_line(state);
}

TEST_F(PromptShellFixture, PromptShowsPlaceholderToolbarAndTheCommandMenu) {
  InteractiveShellInput input(screen);
  ASSERT_TRUE(input.uses_prompt_toolkit());
  velmora::term::Console console({.no_color = true});
  auto patch = input.stdout_patch_context(console);
  EXPECT_EQ(console.sink(), screen);

  std::optional<ShellReadResult> result;
  boost::asio::co_spawn(io, read_into(input, {.language = "en", .thread_id = UUID}, result),
                        boost::asio::detached);
  ASSERT_TRUE(run_until(io, [&] { return screen->attached(); }));
  sync();
  EXPECT_EQ(vt.row(0), "> Ask Velmora anything or type / for commands");
  EXPECT_EQ(vt.row(8),
            "language en | thread 0f8fad5b...950e | type / for commands | /new fresh session");

  pty.type("/");
  settle();
  EXPECT_EQ(vt.row(1), "  /help                show available commands");
  EXPECT_EQ(vt.row(12), "  /exit                exit the shell");
  EXPECT_EQ(vt.row(13).substr(0, 20), "language en | thread");

  console.print("[green]streamed[/green] text");
  sync();
  EXPECT_EQ(vt.row(0), "streamed text");
  EXPECT_EQ(vt.row(1), "> /");

  pty.type("a");
  settle();
  EXPECT_EQ(vt.row(2), "  /attach <path>  queue a local attachment");
  EXPECT_EQ(vt.row(3), "  /attachments    list queued attachments");
  EXPECT_EQ(vt.row(4), "");

  pty.type("\t\r");
  ASSERT_TRUE(run_until(io, [&] { return result.has_value(); }));
  EXPECT_EQ(result->outcome, ShellReadOutcome::accepted);
  EXPECT_EQ(result->text, "/attach ");
}

TEST_F(PromptShellFixture, ToolbarSegmentsSitOnTheBottomRowOfTheRegion) {
  InteractiveShellInput input(screen);
  std::optional<ShellReadResult> result;
  boost::asio::co_spawn(
      io, read_into(input, {.pending_attachment_count = 2, .hide_session_details = true}, result),
      boost::asio::detached);
  ASSERT_TRUE(run_until(io, [&] { return screen->attached(); }));
  sync();
  EXPECT_EQ(vt.row(8),
            "language - | thread (hidden) | attachments 2 queued | type / for commands | /new "
            "fresh session");
  pty.type("\x04");
  ASSERT_TRUE(run_until(io, [&] { return result.has_value(); }));
  EXPECT_EQ(result->outcome, ShellReadOutcome::end_of_input);
}

}  // namespace
