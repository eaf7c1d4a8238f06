// The interactive shell end to end: slash commands, reconnects, resumed threads, questions and
// Ctrl+C, with standard input on a pipe (plain shell) or in a real terminal (tmux).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

#include "session_machine.hpp"

namespace {

using session_e2e::sent_frames;
using session_e2e::sent_types;
using session_e2e::session_args;
using session_e2e::SessionMachine;
using session_e2e::Terminal;
using session_e2e::thread_of;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::ChildProcess;
using velmora::testing::SimProcess;
namespace json = boost::json;

std::size_t count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

ChildProcess start_shell(const SimProcess& sim, const SessionMachine& machine,
                         std::vector<std::string> more = {}) {
  return machine.start(session_args(sim, std::move(more)));
}

bool frame_of_type(const json::object& record, std::string_view type) {
  const auto* frame = record.if_contains("frame");
  return record.at("event") == "ws_frame" && frame != nullptr &&
         frame->at("type") == json::value(type);
}

TEST(SessionPlainShell, SlashCommandsAndEndOfInput) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  const auto result = machine.run(session_args(sim, {"--wheel-server-url", "http://127.0.0.1:9"}),
                                  "/help\n"
                                  "/clear\n"
                                  "/interrupt\n"
                                  "/upgrade\n"
                                  "\n"
                                  "/thread\n"
                                  "/attach  a b.txt \n"
                                  "/attach c.txt\n"
                                  "/attachments\n"
                                  "/detach 5\n"
                                  "/detach x\n"
                                  "/detach 1\n"
                                  "/attachments\n"
                                  "/detach ALL\n"
                                  "/attachments\n"
                                  "/thinking\n"
                                  "/EXIT sim:stream=1\n");
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  const std::string thread_id = thread_of(sim.records("ws_open").at(0));
  const std::string& out = result.out;
  EXPECT_THAT(out, HasSubstr("\nAsk Velmora anything or type / for commands\n\n> "));
  EXPECT_THAT(out, HasSubstr("/resume <thread_id>  resume a specific thread"));
  EXPECT_THAT(out, HasSubstr("> thread_id=" + thread_id + "\n"));
  EXPECT_THAT(out, HasSubstr("> queued attachment #1: a b.txt\n"));
  EXPECT_THAT(out, HasSubstr("> queued attachment #2: c.txt\n"));
  EXPECT_THAT(out, HasSubstr("> Queued attachments\n  1. a b.txt\n  2. c.txt\n"));
  EXPECT_THAT(out, HasSubstr("> attachment index out of range\n"));
  EXPECT_THAT(out, HasSubstr("> Usage: /detach <index|all>\n"));
  EXPECT_THAT(out, HasSubstr("> removed attachment a b.txt\n"));
  EXPECT_THAT(out, HasSubstr("> Queued attachments\n  1. c.txt\n"));
  EXPECT_THAT(out, HasSubstr("> cleared queued attachments\n"));
  EXPECT_THAT(out, HasSubstr("> no queued attachments\n"));
  EXPECT_THAT(out, HasSubstr("Upgrade failed."));
  EXPECT_THAT(out, HasSubstr("Check the wheel server URL and network connectivity, then retry."));
  // Only the unknown word went to the agent; the input's end closed the session.
  EXPECT_THAT(sent_types(sim), ElementsAre("interrupt", "query", "terminate"));
  EXPECT_EQ(sent_frames(sim).at(1).at("query"), "/EXIT sim:stream=1");
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
}

TEST(SessionPlainShell, WithoutAFileApiAddressTheQuestionWaitsAndItsAttachmentStaysQueued) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  const std::string failure =
      "failed to upload attachments: no File API address is set; give it with --file-api-url or "
      "QUILLON_FILE_API_URL\n";
  const auto result = machine.run(session_args(sim),
                                  "/attach missing.txt\n"
                                  "what is in it? sim:stream=1\n"
                                  "/attachments\n"
                                  "/exit\n");
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_THAT(result.out,
              HasSubstr("> " + failure +
                        "The question was not sent. 1 attachment stays queued for the next one "
                        "(/attachments lists them, /detach removes them).\n"));
  EXPECT_THAT(result.out, HasSubstr("> Queued attachments\n  1. missing.txt\n"));
  EXPECT_THAT(result.out, Not(HasSubstr("uploading")));
  EXPECT_THAT(result.out, Not(HasSubstr("Invalid URL")));
  EXPECT_THAT(sent_types(sim), ElementsAre("terminate"));

  // A one-shot run says the same and fails before sending anything.
  velmora::testing::write_file(machine.home() / "a.txt", "a");
  const auto one_shot =
      machine.run(session_args(sim, {"--attachment", "a.txt", "--query", "x sim:stream=1"}));
  EXPECT_EQ(one_shot.exit_code, 1) << one_shot.out;
  EXPECT_EQ(one_shot.out, failure);
  EXPECT_THAT(sent_types(sim), ElementsAre("terminate", "terminate"));
}

TEST(SessionPlainShell, NewAndResumeThroughTheNumberedList) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  const auto first = machine.run(session_args(sim, {"--query", "remember me sim:stream=1"}));
  ASSERT_EQ(first.exit_code, 0) << first.out;
  const std::string saved = thread_of(sim.records("ws_open").at(0));

  // The newest sessions come first: the fresh one, the shell's own, then the saved one.
  const auto result =
      machine.run(session_args(sim), "/new\n/resume\n" + saved + "\n/thread\n/exit\n");
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  const auto opened = sim.records("ws_open");
  ASSERT_EQ(opened.size(), 4u);
  const std::string fresh = thread_of(opened[2]);
  EXPECT_NE(fresh, thread_of(opened[1]));
  EXPECT_THAT(result.out, HasSubstr("started fresh session " + fresh + "\n"));
  EXPECT_THAT(result.out,
              HasSubstr("Resume a previous session\nSort: Updated at\n"
                        "Thread ID                              Updated at      Created at\n"));
  EXPECT_THAT(result.out, HasSubstr("Resume session (1): "));
  EXPECT_THAT(result.out, HasSubstr("resuming thread " + saved));
  EXPECT_THAT(result.out, HasSubstr("thread_id=" + saved + "\n"));
  EXPECT_EQ(opened[3].at("requested_thread_id"), json::value(saved));
  EXPECT_EQ(opened[3].at("is_new"), false);
}

TEST(SessionPlainShell, ReconnectsToTheSameThreadAfterADrop) {
  SimProcess sim({"--drop-after-frames", "4", "--pace", "0.01"});
  SessionMachine machine;
  const auto result =
      machine.run(session_args(sim), "long sim:stream=50\nsecond sim:stream=2\n/exit\n");
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  const auto opened = sim.records("ws_open");
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(thread_of(opened[1]), thread_of(opened[0]));
  EXPECT_EQ(opened[1].at("is_new"), false);
  const auto frames = sent_frames(sim);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[1].at("query"), "second sim:stream=2");
  // The second answer came after the replay of the broken turn.
  EXPECT_THAT(result.out, HasSubstr("token0 token1 \n"));
}

TEST(SessionPlainShell, AResumedThreadShowsItsNoticesOnce) {
  SimProcess sim({"--pace", "0", "--drop-after-frames", "12", "--fault-connections", "2"});
  SessionMachine machine;
  const auto first = machine.run(
      session_args(sim, {"--scenario", "report", "--query", "remember me sim:stream=2"}));
  ASSERT_EQ(first.exit_code, 0) << first.out;
  const std::string thread_id = thread_of(sim.records("ws_open").at(0));

  // The resumed connection drops too: the reconnect binds the same thread again.
  const auto result =
      machine.run(session_args(sim, {"--thread-id", thread_id}), "again sim:stream=30\n/exit\n");
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_GE(sim.records("ws_open").size(), 3u);
  EXPECT_EQ(count(result.out, "reusing thread " + thread_id + "\n"), 1u) << result.out;
  EXPECT_EQ(count(result.out, "resumed context differs: scenario=report (requested keyword)\n"), 1u)
      << result.out;
}

TEST(SessionPlainShell, BindingNoticesForNewAndOverriddenThreads) {
  {
    SimProcess sim;
    SessionMachine machine;
    const auto result = machine.run(session_args(sim, {"--thread-id", "t-new"}), "/exit\n");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_THAT(result.out, HasSubstr("requested thread t-new started a new session\n"));
  }
  {
    SimProcess sim({"--override-thread"});
    SessionMachine machine;
    const auto result = machine.run(session_args(sim, {"--thread-id", "t-asked"}), "/exit\n");
    EXPECT_EQ(result.exit_code, 0);
    const std::string bound = thread_of(sim.records("ws_open").at(0));
    EXPECT_THAT(result.out, HasSubstr("requested thread t-asked, server resumed " + bound + "\n"));
  }
}

TEST(SessionPlainShell, ServerThatKeepsDroppingIsRetriedWithGrowingPauses) {
  SimProcess sim({"--fault-connections", "0", "--drop-after-frames", "1"});
  SessionMachine machine;
  auto shell = start_shell(sim, machine);
  // Every connection delivers only its binding before it drops.
  ASSERT_TRUE(sim.wait_for_record(
      [](const json::object& r) { return r.at("event") == "ws_open" && r.at("connection") == 4; },
      30));
  shell.close_stdin();
  const auto result = shell.wait(60);
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_THAT(result.out,
              HasSubstr("connection dropped again before any reply; reconnecting in 1s"));
  EXPECT_THAT(result.out,
              HasSubstr("connection dropped again before any reply; reconnecting in 2s"));
}

TEST(SessionPlainShell, CtrlCInterruptsATurnAndTwiceEndsTheProgram) {
  SimProcess sim({"--slow-delay", "0.05", "--slow-count", "400"});
  SessionMachine machine;
  auto shell = start_shell(sim, machine);
  ASSERT_TRUE(
      sim.wait_for_record([](const json::object& r) { return r.at("event") == "ws_open"; }));
  shell.send_signal(SIGINT);
  shell.write_stdin("slow sim:slow\n");
  ASSERT_TRUE(sim.wait_for_record([](const json::object& r) { return frame_of_type(r, "query"); }));
  // Well over two seconds after the first press: this one interrupts the turn, and a press
  // soon after it ends the program (without waiting for the agent, whose reply may be slow).
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  shell.send_signal(SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  shell.send_signal(SIGINT);
  const auto result = shell.wait(30);
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_THAT(result.out,
              HasSubstr("\nNo active turn to interrupt. Press Ctrl+C again to exit.\n"));
  EXPECT_THAT(result.out, HasSubstr("\nInterrupt sent. Press Ctrl+C again to exit.\n"));
  EXPECT_THAT(result.out, HasSubstr("\nExiting (double Ctrl+C)\n"));
  EXPECT_THAT(sent_types(sim), ElementsAre("query", "interrupt", "terminate"));
}

TEST(SessionTerminalShell, QuestionsAreAnsweredThroughTheNumberedPrompt) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim),
                    {{"NO_COLOR", "1"}, {"VELMORA_DISABLE_PROMPT_SHELL", "1"}});
  ASSERT_TRUE(terminal.started());
  ASSERT_TRUE(terminal.wait_for("type / for commands"));
  terminal.type("pick sim:ask");
  ASSERT_TRUE(terminal.wait_for("Your answer (1):")) << terminal.screen();
  terminal.type("2");
  ASSERT_TRUE(sim.wait_for_record([](const json::object& r) {
    return r.at("event") == "ws_frame" && r.at("frame").at("type") == "ask_message";
  }));
  const auto frames = sent_frames(sim);
  const auto& answer = frames.at(1);
  EXPECT_EQ(json::serialize(answer.at("answers")),
            R"({"Which format should the answer take?":"Detailed report"})");
  const auto screen = terminal.wait_for("Agent asked for input id=");
  ASSERT_TRUE(screen);
  EXPECT_THAT(*screen, HasSubstr("  1. Short summary\n  2. Detailed report\n"));
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
}

TEST(SessionTerminalShell, PromptShellAnswersAndExits) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  Terminal terminal(machine, session_args(sim, {"--language", "en"}));
  ASSERT_TRUE(terminal.started());
  ASSERT_TRUE(terminal.wait_for("type / for commands")) << terminal.screen();
  terminal.type("hello sim:stream=3");
  const auto answered = terminal.wait_for("token2");
  ASSERT_TRUE(answered) << terminal.screen();
  ASSERT_TRUE(sim.wait_for_record([](const json::object& r) { return frame_of_type(r, "query"); }));
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
  EXPECT_THAT(sent_types(sim), ElementsAre("query", "terminate"));
}

}  // namespace
