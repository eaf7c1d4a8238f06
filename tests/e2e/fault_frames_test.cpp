// Hostile and broken frames from the service: garbage text, bytes that are not UTF-8, frames at
// and over the 64 MiB limit, a frame that stalls half-way, a slow opening handshake. The run
// goes on or ends with a clear report; nothing the service sends reaches the terminal as a
// control sequence, with or without --debug.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <boost/json/array.hpp>
#include <boost/json/serialize.hpp>

#include "session_machine.hpp"

namespace {

using session_e2e::session_args;
using session_e2e::SessionMachine;
using session_e2e::write_script;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using velmora::testing::SimProcess;

/// Bytes that would drive a terminal: ESC, BEL, other C0 controls but line break and tab, and
/// the C1 controls in their UTF-8 form.
bool has_control_bytes(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) return true;
    if (c == 0xc2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9f) return true;
    }
  }
  return false;
}

// Escape sequences that clear the screen, retitle the window, write the clipboard and (8-bit
// CSI) move the cursor, in a text frame that is not JSON, in a binary frame that is UTF-8, in
// one that is not, and inside a valid message's fields.
constexpr const char* HOSTILE_AGENT = R"({"turns": [{"steps": [
  {"send_text": "\u001b[2J\u001b]2;pwned\u0007\u001b]52;c;cHduZWQ=\u0007\u009b31m text-frame"},
  {"send_binary": "\u001b[31m utf8-binary"},
  {"send_binary_hex": "1b5b324aff00fe"},
  {"send": {"type": "tool_execution", "tool_name": "x\u001b[2Jy", "input": {"q": "\u001b]2;t\u0007"}}},
  {"send": {"type": "error", "message": "bad\u001b[8mhidden", "code": "\u0007"}},
  {"send": {"type": "text_delta", "delta": "Answer \u001b[1mbold\u001b[0m done.", "message_id": "a"}},
  {"complete": {}}]}]})";

TEST(FaultFrames, GarbageAndBinaryFramesNeverDriveTheTerminalAndTheAnswerCompletes) {
  SessionMachine machine;
  SimProcess sim({"--script", write_script(machine.home(), HOSTILE_AGENT).string()});
  for (const bool debug : {false, true}) {
    SCOPED_TRACE(debug ? "with --debug" : "without --debug");
    std::vector<std::string> args = {"--query", "go"};
    if (debug) args.push_back("--debug");
    const auto result = machine.run(session_args(sim, args));
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_FALSE(has_control_bytes(result.out)) << result.out;
    EXPECT_FALSE(has_control_bytes(result.err)) << result.err;
    EXPECT_THAT(result.out, HasSubstr("bold"));
    EXPECT_THAT(result.out, HasSubstr("done."));
    if (debug) {
      // Every frame is still shown, its control characters in caret form.
      EXPECT_THAT(result.out, HasSubstr("[DEBUG][RECV] ^[[2J^[]2;pwned^G"));
      EXPECT_THAT(result.out, HasSubstr("[DEBUG][RECV] ^[[31m utf8-binary"));
      EXPECT_THAT(result.out, HasSubstr(R"([DEBUG][RECV] b'\x1b[2J\xff\x00\xfe')"));
    }
  }
}

/// Frames a careless or hostile service might send: JSON nested deeper than any parser's
/// stack, values that are not objects, and messages whose fields have the wrong kinds.
std::string malformed_agent() {
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  boost::json::array steps = {
      {{"send_text", deep}},
      {{"send_text", R"({"type": "text_delta", "delta": "d", "x": )" + deep + "}"}},
      {{"send_text", "1e999999"}},
      {{"send_text", R"(["type", "text"])"}},
      {{"send", {{"type", 5}, {"content", "type-five"}}}},
      {{"send", {{"type", "text_delta"}, {"delta", 5}, {"message_id", "a"}}}},
      {{"send", {{"type", "text"}, {"content", nullptr}}}},
      {{"send", {{"type", "ask_message"}, {"message_id", "q"}, {"questions", "none"}}}},
      {{"send",
        {{"type", "ask_message"},
         {"message_id", "q2"},
         {"questions", boost::json::array{1, nullptr, {{"question", 7}, {"options", "x"}}}}}}},
      {{"send", {{"type", "collection_plan"}, {"items", boost::json::array{1, nullptr, "x"}}}}},
      {{"send", {{"type", "tool_execution"}, {"tool_name", nullptr}, {"input", {1, 2}}}}},
      {{"send", {{"type", "tool_completed"}, {"output", {{"a", 1}}}, {"is_error", "yes"}}}},
      {{"send", {{"type", "subagent_message"}, {"name", boost::json::array{}}, {"status", 5}}}},
      {{"send", {{"type", "step_progress"}, {"progress", "NaN"}, {"title", {{"x", 1}}}}}},
      {{"send", {{"type", "error"}, {"message", {{"a", 1}}}, {"code", boost::json::array{}}}}},
      {{"send", {{"type", "config"}, {"config", "x"}}}},
      {{"send", {{"type", "topic_message"}, {"payload", 5}}}},
      {{"send", {{"type", "text_delta"}, {"delta", "Final answer."}, {"message_id", "z"}}}},
      {{"complete", {{"usage", "x"}, {"duration_ms", "abc"}}}},
  };
  return boost::json::serialize(
      boost::json::object{{"turns", boost::json::array{{{"steps", std::move(steps)}}}}});
}

TEST(FaultFrames, MalformedMessagesAreSkippedOrShownAndTheTurnStillCompletes) {
  SessionMachine machine;
  SimProcess sim({"--script", write_script(machine.home(), malformed_agent()).string()});
  const auto one_shot = machine.run(session_args(sim, {"--query", "go"}));
  EXPECT_EQ(one_shot.exit_code, 0) << one_shot.out << one_shot.err;
  EXPECT_THAT(one_shot.out, HasSubstr("Final answer."));
  const auto shell = machine.run(session_args(sim), "go\n/exit\n");
  EXPECT_EQ(shell.exit_code, 0) << shell.out << shell.err;
  EXPECT_THAT(shell.out, HasSubstr("Final answer."));
  for (const auto* result : {&one_shot, &shell}) {
    EXPECT_THAT(result->out, Not(HasSubstr("Failed to handle a message")));
    EXPECT_THAT(result->out, Not(HasSubstr("Connection lost")));
  }
  // Nothing broke the connection: both runs used one each.
  EXPECT_EQ(sim.records("ws_open").size(), 2u);
}

// A service that uses the spelling of the client's own messages: they are messages like any
// other, shown by their text; none ends the turn or the connection.
constexpr const char* IMPOSTOR_AGENT = R"({"turns": [{"steps": [
  {"send": {"type": "_connection_error", "error_message": "forged", "content": "forged-drop"}},
  {"send": {"type": "_raw", "raw": "\u001b[2J", "content": "forged-raw"}},
  {"send": {"type": "text_delta", "delta": "Final answer.", "message_id": "z"}},
  {"complete": {}}]}]})";

TEST(FaultFrames, AServerFrameInTheClientsOwnSpellingNeitherEndsTheTurnNorTheConnection) {
  SessionMachine machine;
  SimProcess sim({"--script", write_script(machine.home(), IMPOSTOR_AGENT).string()});
  const auto one_shot = machine.run(session_args(sim, {"--query", "go"}));
  EXPECT_EQ(one_shot.exit_code, 0) << one_shot.out << one_shot.err;
  const auto shell = machine.run(session_args(sim), "go\n/exit\n");
  EXPECT_EQ(shell.exit_code, 0) << shell.out << shell.err;
  for (const auto* result : {&one_shot, &shell}) {
    EXPECT_THAT(result->out, HasSubstr("forged-drop"));
    EXPECT_THAT(result->out, HasSubstr("forged-raw"));
    EXPECT_THAT(result->out, HasSubstr("Final answer."));
    EXPECT_THAT(result->out + result->err, Not(HasSubstr("Connection lost")));
    EXPECT_FALSE(has_control_bytes(result->out)) << result->out;
  }
  // No reconnect: one connection per run.
  EXPECT_EQ(sim.records("ws_open").size(), 2u);
}

TEST(FaultFrames, InATerminalHostileFramesNeitherRetitleNorClearTheScreen) {
  SessionMachine machine;
  SimProcess sim({"--script", write_script(machine.home(), HOSTILE_AGENT).string()});
  for (const bool debug : {false, true}) {
    SCOPED_TRACE(debug ? "with --debug" : "without --debug");
    std::vector<std::string> args = session_args(sim);
    if (debug) args.push_back("--debug");
    session_e2e::Terminal terminal(machine, args);
    ASSERT_TRUE(terminal.started());
    ASSERT_TRUE(terminal.wait_for("/help for commands"));
    const std::string title = terminal.pane_format("#{pane_title}");
    terminal.type("go");
    ASSERT_TRUE(terminal.wait_for("done.")) << terminal.screen();
    terminal.type("/exit");
    ASSERT_EQ(terminal.wait_for_exit(), 0) << terminal.screen();
    const std::string screen = terminal.screen();
    // Nothing cleared the screen: the banner is still in view above the answer.
    EXPECT_THAT(terminal.visible(), HasSubstr("/help for commands")) << screen;
    // Sequences are shown as text, not obeyed.
    EXPECT_THAT(screen, HasSubstr("[8mhidden")) << screen;
    EXPECT_EQ(terminal.pane_format("#{pane_title}"), title);
    if (debug) {
      EXPECT_THAT(screen, HasSubstr("^[]2;pwned^G"));
    }
  }
}

TEST(FaultFrames, MessagesUpTo64MiBArriveWholeALargerOneEndsTheRunWithAReport) {
  constexpr std::size_t LIMIT = std::size_t{64} << 20;
  const struct {
    std::size_t bytes;
    int exit_code;
    const char* shown;
  } cases[] = {
      {LIMIT, 0, "token2"},
      {LIMIT + 1, 1, "message too big: the server sent a message larger than 64 MiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    SimProcess sim({"--pace", "0", "--oversized-frame", std::to_string(c.bytes)});
    SessionMachine machine;
    const auto result = machine.run(session_args(sim, {"--query", "big sim:stream=3"}), {}, 120);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.out.substr(0, 300) << result.err;
    EXPECT_THAT(result.out, HasSubstr(c.shown));
    if (c.exit_code == 0) {
      // The whole 64 MiB answer text is printed, then the rest of the turn.
      EXPECT_GT(result.out.size(), LIMIT - 200);
    } else {
      EXPECT_THAT(result.out, HasSubstr("Connection lost before the answer completed."));
      EXPECT_LT(result.out.size(), 4096u);
    }
  }
}

TEST(FaultFrames, ATooLargeMessageInTheShellReconnectsAndTheNextQuestionIsAnswered) {
  // The fault hits the first connection's first turn only.
  SimProcess sim({"--pace", "0", "--oversized-frame", std::to_string((std::size_t{64} << 20) + 1)});
  SessionMachine machine;
  const auto result =
      machine.run(session_args(sim), "one sim:stream=2\ntwo sim:stream=3\n/exit\n", 120);
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("Connection lost before the answer completed. Reconnected"));
  EXPECT_THAT(result.out, HasSubstr("token0 token1 token2"));
  EXPECT_EQ(sim.records("ws_open").size(), 2u);
}

TEST(FaultFrames, AStallMidFrameEndsAtTheTimeLimitWithWhatArrived) {
  // metadata, token0, token1, then 68 bytes of a frame and silence.
  SimProcess sim({"--pace", "0", "--stall-after-frames", "3"});
  SessionMachine machine;
  const auto started = std::chrono::steady_clock::now();
  const auto result =
      machine.run(session_args(sim, {"--query", "sim:stream=8", "--timeout", "2"}), {}, 60);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  // The time limit is the behaviour under test; the bound above it is loose.
  EXPECT_GE(seconds, 2.0);
  EXPECT_LT(seconds, 30.0);
  // A soft time-out: what arrived is the answer (non-interactive runs end normally).
  EXPECT_EQ(result.exit_code, 0) << result.out;
  EXPECT_THAT(result.out, StartsWith("token0 token1\n"));
  EXPECT_THAT(result.out, Not(HasSubstr("token2")));

  // Without visible output the same time-out is a failure.
  SimProcess early({"--pace", "0", "--stall-after-frames", "1"});
  const auto empty =
      machine.run(session_args(early, {"--query", "sim:stream=8", "--timeout", "2"}), {}, 60);
  EXPECT_EQ(empty.exit_code, 1) << empty.out;
  EXPECT_EQ(empty.out, "Timed out waiting for complete (2s)\n");
}

TEST(FaultFrames, AStalledShellEndsWithCtrlCTwice) {
  SimProcess sim({"--pace", "0", "--stall-after-frames", "3"});
  SessionMachine machine;
  auto child = machine.start(session_args(sim));
  child.write_stdin("sim:stream=8\n");
  ASSERT_FALSE(sim.wait_for_records("ws_fault", 1).empty());
  child.send_signal(SIGINT);
  // The stalled service never ends the turn; a second Ctrl+C ends the program.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  child.send_signal(SIGINT);
  const auto result = child.wait(30);
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("Interrupt sent. Press Ctrl+C again to exit."));
  EXPECT_THAT(result.out, HasSubstr("Exiting (double Ctrl+C)"));
}

TEST(FaultFrames, ASlowHandshakeOrBindingIsWaitedForOneThatNeverComesEndsAtTheTimeLimit) {
  const struct {
    const char* fault;
    const char* seconds;
    int exit_code;
    const char* shown;
  } cases[] = {
      {"--handshake-delay", "2", 0, "token0 token1\n"},
      {"--metadata-delay", "2", 0, "token0 token1\n"},
      // The service took the connection but never binds it: the query is never answered.
      {"--metadata-delay", "1000", 1, "Timed out waiting for complete (3s)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fault) + " " + c.seconds);
    SimProcess sim({"--pace", "0", c.fault, c.seconds});
    SessionMachine machine;
    const auto result =
        machine.run(session_args(sim, {"--query", "sim:stream=2", "--timeout", "3"}), {}, 60);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.out << result.err;
    EXPECT_THAT(result.out, StartsWith(c.shown));
    EXPECT_EQ(sim.records("ws_handshake").size(), 1u);
  }
}

}  // namespace
