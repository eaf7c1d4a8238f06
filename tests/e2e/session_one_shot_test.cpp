// One-shot runs (`velmora --query …`) end to end: the real binary against the simulator, with
// assertions on standard output, the exit status and the frames and uploads the simulator got.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>

#include "session_machine.hpp"

namespace {

using session_e2e::sent_frames;
using session_e2e::sent_types;
using session_e2e::session_args;
using session_e2e::SessionMachine;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::SimProcess;
namespace json = boost::json;

std::string hint(const std::string& thread_id) {
  return "thread_id=" + thread_id + " | reuse with --thread-id " + thread_id + " or /resume " +
         thread_id + "\n";
}

std::string first_thread_id(const SimProcess& sim) {
  const auto opened = sim.records("ws_open");
  if (opened.empty()) return {};
  return std::string(opened.front().at("thread_id").as_string());
}

TEST(SessionOneShot, SendsTheQueryPrintsTheAnswerAndTheHintThenTerminates) {
  SimProcess sim;
  SessionMachine machine;
  const auto result = machine.run(
      session_args(sim, {"--query", "Grüße sim:stream=3", "--language", "en", "--system-prompt",
                         "  be brief ", "--config", R"({"b": 1, "a": "x"})"}));
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;

  const std::string thread_id = first_thread_id(sim);
  ASSERT_FALSE(thread_id.empty());
  EXPECT_EQ(result.out, "token0 token1 token2\n\n" + hint(thread_id));
  EXPECT_EQ(result.out.find('\x1b'), std::string::npos);

  const auto frames = sent_frames(sim);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(json::serialize(frames[0]),
            R"({"type":"query","query":"Grüße sim:stream=3","user_id":"u1","attachments":[],)"
            R"("scenario":"keyword","config":{"b":1,"a":"x"},"system_prompt":"be brief",)"
            R"("language":"en"})");
  EXPECT_EQ(json::serialize(frames[1]), R"({"type":"terminate"})");
  ASSERT_EQ(sim.records("ws_open").size(), 1u);
  EXPECT_EQ(sim.records("ws_open")[0].at("language"), "en");
}

TEST(SessionOneShot, UploadsAttachmentsInOrderAndTheQueryCarriesTheirRecords) {
  SimProcess sim;
  SessionMachine machine;
  velmora::testing::write_file(machine.home() / "a.txt", "a");
  velmora::testing::write_file(machine.home() / "b.txt", "bb");
  velmora::testing::write_file(machine.home() / "c.md", "ccc");
  const auto result = machine.run(
      session_args(sim, {"--file-api-url", sim.http_url(), "--attachments", " a.txt,,b.txt ",
                         "--attachment", "c.md", "--query", "files sim:stream=1"}));
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("uploading 3 attachment(s) via " + sim.http_url() +
                                    "\nuploaded 3 attachment(s)\n"));

  const std::string thread_id = first_thread_id(sim);
  const auto uploads = sim.records("upload");
  ASSERT_EQ(uploads.size(), 3u);
  const char* names[] = {"a.txt", "b.txt", "c.md"};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(uploads[i].at("file_name"), names[i]);
    EXPECT_EQ(uploads[i].at("fields").at("thread_id"), json::value(thread_id));
    EXPECT_EQ(uploads[i].at("fields").at("user_id"), "u1");
    EXPECT_EQ(uploads[i].at("headers").at("velmora-authorization").as_string(),
              velmora::testing::SESSION_TOKEN);
    EXPECT_EQ(uploads[i].at("headers").at("x-user-id"), "u1");
  }
  const auto frames = sent_frames(sim);
  ASSERT_FALSE(frames.empty());
  const auto& attachments = frames[0].at("attachments").as_array();
  ASSERT_EQ(attachments.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(attachments[i].at("file_path"), uploads[i].at("relative_path"));
    EXPECT_EQ(attachments[i].at("description"), "");
  }
  EXPECT_EQ(attachments[0].at("type"), "text/plain");
}

TEST(SessionOneShot, UploadFailuresEndTheRunBeforeAnyQuery) {
  const struct {
    std::vector<std::string> sim_args;
    const char* file;
    const char* expected;
  } cases[] = {
      {{}, "missing.txt", "failed to upload attachments: Attachment not found: missing.txt\n"},
      {{"--upload-status", "413"}, "a.txt", "failed to upload attachments: Upload failed (413): "},
      // They exist, but what they hold is not a file to send.
      {{}, "folder", "failed to upload attachments: Attachment is not a regular file: folder\n"},
      {{}, "pipe", "failed to upload attachments: Attachment is not a regular file: pipe\n"},
  };
  for (const auto& c : cases) {
    SimProcess sim(c.sim_args);
    SessionMachine machine;
    velmora::testing::write_file(machine.home() / "a.txt", "a");
    std::filesystem::create_directory(machine.home() / "folder");
    ASSERT_EQ(::mkfifo((machine.home() / "pipe").c_str(), 0600), 0);
    const auto result = machine.run(session_args(
        sim, {"--file-api-url", sim.http_url(), "--attachment", c.file, "--query", "x"}));
    EXPECT_EQ(result.exit_code, 1) << result.out;
    EXPECT_THAT(result.out, HasSubstr(c.expected));
    EXPECT_THAT(sent_types(sim), ElementsAre("terminate"));
  }
}

TEST(SessionOneShot, FileNamesCannotBreakTheMultipartForm) {
  SimProcess sim;
  SessionMachine machine;
  const std::string name = "a\"b\r\nc.txt";
  velmora::testing::write_file(machine.home() / name, "x");
  const auto result = machine.run(session_args(
      sim, {"--file-api-url", sim.http_url(), "--attachment", name, "--query", "x sim:stream=1"}));
  ASSERT_EQ(result.exit_code, 0) << result.out;
  const auto uploads = sim.records("upload");
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].at("file_name_raw"), "a%22b%0D%0Ac.txt");
  EXPECT_EQ(uploads[0].at("size"), 1);
}

constexpr const char* SILENT_AGENT = R"({"turns": [
  {"match": "quiet", "steps": [
    {"send": {"type": "tool_progress", "tool_name": "grep", "status": "running"}},
    {"delay": 60}]},
  {"match": "partial", "steps": [
    {"send": {"type": "text_delta", "delta": "Partial answer", "message_id": "m1"}},
    {"delay": 60}]},
  {"match": "nothing", "steps": [{"delay": 60}]}
]})";

TEST(SessionOneShot, IdleFinishNeedsAVisibleAnswer) {
  SessionMachine machine;
  SimProcess sim({"--script", session_e2e::write_script(machine.home(), SILENT_AGENT).string()});

  auto result =
      machine.run(session_args(sim, {"--idle-finish-seconds", "0.5", "--query", "quiet"}));
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.out, HasSubstr("No final answer received."));
  EXPECT_THAT(result.out,
              HasSubstr("The server stopped after internal activity without a "
                        "user-visible reply. Retry with --debug to inspect raw events."));

  result = machine.run(session_args(sim, {"--idle-finish-seconds", "0.5", "--query", "partial"}));
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_THAT(result.out, ::testing::StartsWith("Partial answer\n"));
  // Plain output carries no chatter about how the turn ended.
  EXPECT_THAT(result.out, Not(HasSubstr("idle period")));
  EXPECT_THAT(result.out, HasSubstr("reuse with --thread-id"));
}

TEST(SessionOneShot, TimeOutFailsOnlyWithoutVisibleOutput) {
  SessionMachine machine;
  SimProcess sim({"--script", session_e2e::write_script(machine.home(), SILENT_AGENT).string()});

  auto result = machine.run(session_args(sim, {"--timeout", "1", "--query", "nothing"}));
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "Timed out waiting for complete (1s)\n");

  result = machine.run(session_args(sim, {"--timeout", "1", "--query", "partial"}));
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_THAT(result.out, ::testing::StartsWith("Partial answer\n"));
  EXPECT_THAT(result.out, Not(HasSubstr("Timed out")));
  // Each run closed with terminate.
  EXPECT_THAT(sent_types(sim), ElementsAre("query", "terminate", "query", "terminate"));
}

TEST(SessionOneShot, TheTimeLimitBoundsConnectingToAListenerThatNeverAnswers) {
  // Each attempt would wait its whole connect limit, and there are three.
  SimProcess sim({"--silent-handshakes", "1000"});
  SessionMachine machine;
  const auto result =
      machine.run(session_args(sim, {"--timeout", "2", "--query", "hi"}), {}, /*timeout=*/60);
  EXPECT_FALSE(result.timed_out) << result.out;
  EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("Failed to reach the websocket endpoint."));
  EXPECT_THAT(result.out, HasSubstr("the --timeout limit (2s) has passed"));
  EXPECT_GE(sim.records("ws_handshake").size(), 1u);
}

TEST(SessionOneShot, BidirectionalControlsInAnAnswerAreShownNotObeyed) {
  constexpr const char* REORDERING = R"({"turns": [{"steps": [
    {"send": {"type": "text", "content": "Open abc\u202etxt.exe or \u2066x\u2069", "message_id": "a"}},
    {"complete": {}}]}]})";
  SessionMachine machine;
  SimProcess sim({"--script", session_e2e::write_script(machine.home(), REORDERING).string()});
  const auto result = machine.run(session_args(sim, {"--query", "hi"}));
  EXPECT_EQ(result.exit_code, 0) << result.out;
  EXPECT_THAT(result.out, ::testing::StartsWith("Open abc<U+202E>txt.exe or <U+2066>x<U+2069>\n"));
  for (const char* control : {"\u202e", "\u2066", "\u2069"}) {
    EXPECT_THAT(result.out, Not(HasSubstr(control)));
  }
}

TEST(SessionOneShot, ALostConnectionFailsTheRunWithoutReconnecting) {
  SimProcess sim({"--drop-after-frames", "4", "--pace", "0.01"});
  SessionMachine machine;
  const auto result = machine.run(session_args(sim, {"--query", "long sim:stream=50"}));
  EXPECT_EQ(result.exit_code, 1) << result.out;
  EXPECT_THAT(result.out, HasSubstr("token0 token1"));
  EXPECT_THAT(result.out, HasSubstr("Connection lost before the answer completed."));
  EXPECT_THAT(result.out, EndsWith(hint(first_thread_id(sim))));
  EXPECT_EQ(sim.records("ws_open").size(), 1u);
}

TEST(SessionOneShot, ASecondRunOnTheSameThreadPrintsOnlyItsOwnAnswer) {
  constexpr const char* TWO_TURNS = R"({"turns": [
    {"match": "first", "steps": [
      {"send": {"type": "text", "content": "Answer one", "message_id": "a1"}}, {"complete": {}}]},
    {"match": "second", "steps": [
      {"delay": 0.3},
      {"send": {"type": "text", "content": "Answer two", "message_id": "a2"}}, {"complete": {}}]}
  ]})";
  SessionMachine machine;
  SimProcess sim({"--script", session_e2e::write_script(machine.home(), TWO_TURNS).string()});

  const auto first = machine.run(session_args(sim, {"--query", "first"}));
  ASSERT_EQ(first.exit_code, 0) << first.out;
  const std::string thread_id = first_thread_id(sim);

  const auto second =
      machine.run(session_args(sim, {"--thread-id", thread_id, "--query", "second"}));
  ASSERT_EQ(second.exit_code, 0) << second.out;
  EXPECT_EQ(second.out, "reusing thread " + thread_id + "\nAnswer two\n\n" + hint(thread_id));
  // The second query went out after the replay, on the resumed thread.
  const auto frames = sent_frames(sim);
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[2].at("query"), "second");
}

TEST(SessionOneShot, CtrlCInterruptsTheTurnWhichEndsWithWhatWasShown) {
  SimProcess sim({"--slow-delay", "0.05", "--slow-count", "400"});
  SessionMachine machine;
  auto child = machine.start(session_args(sim, {"--query", "slow sim:slow"}));
  ASSERT_TRUE(sim.wait_for_record([](const json::object& r) {
    return r.at("event") == "ws_frame" && r.at("frame").at("type") == "query";
  }));
  child.send_signal(SIGINT);
  const auto result = child.wait(60);
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("\nInterrupt sent. Press Ctrl+C again to exit.\n"));
  EXPECT_THAT(sent_types(sim), ElementsAre("query", "interrupt", "terminate"));
}

TEST(SessionOneShot, AnAgentErrorInPlaceOfAnAnswerFailsTheRun) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  const std::string only_error =
      "Error: The agent could not finish this request (simulated failure). (simulated_error)\n";
  const std::string late_error =
      "Error: The agent stopped before checking its answer (simulated failure). "
      "(simulated_error)\n";
  for (const bool plain_option : {false, true}) {
    SCOPED_TRACE(plain_option ? "--plain-output" : "output on a pipe");
    std::vector<std::string> more;
    if (plain_option) more.push_back("--plain-output");

    // The error is all the turn showed: the run failed, though "complete" ended it.
    more.insert(more.end(), {"--query", "oops sim:error"});
    auto result = machine.run(session_args(sim, more));
    EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
    EXPECT_THAT(result.out, ::testing::StartsWith(only_error));
    EXPECT_THAT(result.out, HasSubstr("reuse with --thread-id"));

    // An answer came before the error: the user has it, the run succeeds.
    more.back() = "tides sim:error-late";
    result = machine.run(session_args(sim, more));
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr(late_error));
    EXPECT_THAT(result.out, HasSubstr("| Write the answer | ready |"));
  }
}

TEST(SessionOneShot, ARejectedConnectRefreshesTheSavedTokenOnce) {
  // Every attempt of the first connect is refused with 401; the refreshed token gets in.
  SimProcess sim({"--reject-handshakes", "3", "--device-interval", "0", "--device-pending-polls",
                  "0", "--login-user", "u-saved"});
  SessionMachine machine;
  machine.oauth_base_url = sim.http_url();
  // A browser that opens nothing: the simulator approves the device login by itself.
  const auto bin = machine.home() / "bin";
  std::filesystem::create_directories(bin);
  velmora::testing::write_file(bin / "xdg-open", "#!/bin/sh\nexit 0\n");
  std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
  velmora::testing::ProcessOptions login;
  login.args = {"login"};
  login.cwd = machine.home();
  login.env = machine.env();
  login.env["PATH"] = bin.string() + ":/usr/bin:/bin";
  const auto logged_in = velmora::testing::run_process(VELMORA_BIN, login);
  ASSERT_EQ(logged_in.exit_code, 0) << logged_in.out << logged_in.err;

  const auto result = machine.run({"--url", sim.ws_url(), "--query", "saved sim:stream=1"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("token0"));

  const auto handshakes = sim.records("ws_handshake");
  ASSERT_EQ(handshakes.size(), 4u);
  EXPECT_EQ(handshakes[2].at("status"), 401);
  EXPECT_EQ(handshakes[3].at("status"), 101);
  std::size_t refreshes = 0;
  for (const auto& record : sim.records("credentials")) {
    const auto* form = record.if_contains("form");
    const auto* grant = form != nullptr ? form->as_object().if_contains("grant_type") : nullptr;
    if (grant != nullptr && *grant == "refresh_token") ++refreshes;
  }
  EXPECT_EQ(refreshes, 1u);
  const auto opened = sim.records("ws_open");
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].at("user_id"), "u-saved");
}

}  // namespace
