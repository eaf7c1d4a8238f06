#include "velmora/slash_command_handler.hpp"

#include <gtest/gtest.h>

#include "session_harness.hpp"
#include "velmora/input_loop.hpp"

namespace {

using session_testing::Harness;
using velmora::base::awaitable;

awaitable<void> run_command(velmora::InteractiveCommandContext context, std::string line,
                            bool& handled) {
  handled = co_await velmora::handle_interactive_command(std::move(line), std::move(context));
}

/// Runs one line; returns whether it was handled and what it printed.
std::pair<bool, std::string> command(Harness& h, const std::string& line) {
  h.sink->clear();
  bool handled = false;
  h.run(run_command(velmora::command_context(*h.state), line, handled));
  return {handled, h.sink->text()};
}

TEST(SplitShellCommand, SplitsOnceAtTheFirstBlank) {
  const struct {
    const char* raw;
    const char* command;
    const char* remainder;
  } cases[] = {
      {"/help", "/help", ""},
      {"/attach my file.pdf", "/attach", "my file.pdf"},
      {"/attach    spaced.txt   ", "/attach", "spaced.txt"},
      {"/resume \"quoted id\"", "/resume", "\"quoted id\""},
      {"hello world", "hello", "world"},
      {"/detach\tall", "/detach\tall", ""},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    const auto [cmd, remainder] = velmora::split_shell_command(c.raw);
    EXPECT_EQ(cmd, c.command) << c.raw;
    EXPECT_EQ(remainder, c.remainder) << c.raw;
  }
}

TEST(ParseDecimalIndex, AcceptsWhatAnIntegerLooksLike) {
  const struct {
    const char* text;
    std::optional<long long> expected;
  } cases[] = {{"2", 2},
               {" +3 ", 3},
               {"-1", -1},
               {"0", 0},
               {"1_0", 10},
               {"x", {}},
               {"", {}},
               {"1.5", {}},
               {"_1", {}},
               {"1__0", {}},
               {"2 3", {}},
               {"+", {}},
               {"99999999999999999999", 1'000'000'000'000LL}};
  for (const auto& c : cases) EXPECT_EQ(velmora::parse_decimal_index(c.text), c.expected) << c.text;
}

TEST(SlashCommands, LinesThatAreNotCommandsGoToTheAgent) {
  Harness h;
  for (const char* line : {"hello", "/EXIT", "/unknown thing", "what is /help"}) {
    const auto [handled, printed] = command(h, line);
    EXPECT_FALSE(handled) << line;
    EXPECT_EQ(printed, "") << line;
  }
  EXPECT_FALSE(h.state->stop_event.is_set());
}

TEST(SlashCommands, ExitQuitHelpAndThread) {
  for (const char* line : {"/exit", "/quit"}) {
    Harness h;
    const auto [handled, printed] = command(h, line);
    EXPECT_TRUE(handled);
    EXPECT_EQ(printed, "");
    EXPECT_TRUE(h.state->stop_event.is_set());
  }
  Harness h;
  for (const char* line : {"/help", "/"}) {
    const auto [handled, printed] = command(h, line);
    EXPECT_TRUE(handled);
    EXPECT_NE(printed.find("/resume <thread_id>"), std::string::npos) << printed;
  }
  EXPECT_EQ(command(h, "/thread").second, "thread_id=(not yet assigned)\n");
  h.client->set_thread_id("t[1]");
  EXPECT_EQ(command(h, "/thread").second, "thread_id=t[1]\n");
}

TEST(SlashCommands, AttachmentQueue) {
  Harness h;
  auto& queue = h.state->pending_attachments;
  const struct {
    const char* line;
    const char* printed;
    std::size_t queued_after;
  } steps[] = {
      {"/attachments", "no queued attachments\n", 0},
      {"/attach", "Usage: /attach <local_file_path>\n", 0},
      {"/attach   a b.txt  ", "queued attachment #1: a b.txt\n", 1},
      {"/attach [x].md", "queued attachment #2: [x].md\n", 2},
      {"/attach c.txt", "queued attachment #3: c.txt\n", 3},
      {"/attachments", "Queued attachments\n  1. a b.txt\n  2. [x].md\n  3. c.txt\n", 3},
      {"/detach", "Usage: /detach <index|all>\n", 3},
      {"/detach x", "Usage: /detach <index|all>\n", 3},
      {"/detach 0", "attachment index out of range\n", 3},
      {"/detach 4", "attachment index out of range\n", 3},
      {"/detach 2", "removed attachment [x].md\n", 2},
      {"/detach ALL", "cleared queued attachments\n", 0},
  };
  for (const auto& step : steps) {
    const auto [handled, printed] = command(h, step.line);
    EXPECT_TRUE(handled) << step.line;
    EXPECT_EQ(printed, step.printed) << step.line;
    EXPECT_EQ(queue.size(), step.queued_after) << step.line;
  }
}

TEST(SlashCommands, ResumeWithoutSavedSessionsKeepsTheSession) {
  Harness h("t1");
  const auto [handled, printed] = command(h, "/resume");
  EXPECT_TRUE(handled);
  EXPECT_EQ(printed, "No saved sessions found.\n");
  EXPECT_EQ(h.client->thread_id(), "t1");
}

awaitable<void> fail_upgrade(std::string, std::shared_ptr<velmora::term::Console>) {
  throw velmora::base::RuntimeError("");
  co_return;
}

TEST(SlashCommands, FailedUpgradeIsReportedAndTheShellGoesOn) {
  Harness h;
  bool handled = false;
  auto context = velmora::command_context(*h.state);
  context.self_upgrade = fail_upgrade;
  h.run(run_command(context, "/upgrade", handled));
  EXPECT_TRUE(handled);
  EXPECT_NE(h.output().find("Upgrade failed."), std::string::npos) << h.output();
  EXPECT_NE(h.output().find("RuntimeError"), std::string::npos) << h.output();
  EXPECT_FALSE(h.state->stop_event.is_set());
}

TEST(SlashCommands, ReconnectAndInterruptErrorsReachTheCaller) {
  Harness h("t1");
  bool expect_history = false;
  int calls = 0;
  auto context = velmora::command_context(*h.state);
  context.before_reconnect = [&](bool history) {
    ++calls;
    expect_history = history;
  };
  bool handled = false;
  EXPECT_THROW(h.run(run_command(context, "/interrupt", handled)), velmora::base::RuntimeError);
  EXPECT_ANY_THROW(h.run(run_command(context, "/resume t9", handled)));
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(expect_history);
  EXPECT_NE(h.output().find("resuming thread t9"), std::string::npos) << h.output();
  EXPECT_EQ(h.client->thread_id(), "t9");
  EXPECT_TRUE(h.client->explicit_thread_id());
  EXPECT_ANY_THROW(h.run(run_command(context, "/new", handled)));
  EXPECT_EQ(calls, 2);
  EXPECT_FALSE(expect_history);
  EXPECT_FALSE(h.client->explicit_thread_id());
}

}  // namespace
