// Output for programs (`--output-format json|stream-json`, `--query -`) and output that cannot
// be written, end to end: the real binary against the simulator. Every JSON output is checked
// line by line against schema/headless-output.schema.json by tests/tools/check_headless_lines.py.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

#include <boost/json/parse.hpp>

#include "headless_lines.hpp"
#include "session_machine.hpp"

namespace {

using session_e2e::sent_frames;
using session_e2e::sent_types;
using session_e2e::session_args;
using session_e2e::SessionMachine;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using headless_e2e::checked_lines;
using headless_e2e::result_of;
using headless_e2e::types_of;
using velmora::testing::ProcessResult;
using velmora::testing::SimProcess;
namespace json = boost::json;

std::string thread_of_first_open(const SimProcess& sim) {
  const auto opened = sim.records("ws_open");
  return opened.empty() ? std::string() : std::string(opened.front().at("thread_id").as_string());
}

/// `velmora args` run by bash with its standard output redirected or piped as `plumbing` says
/// ("> /dev/full", "| true"); the program's own exit status is the result's.
ProcessResult run_plumbed(const SessionMachine& machine, const std::vector<std::string>& args,
                          const std::string& plumbing) {
  std::string line = "\"$0\" \"$@\" " + plumbing + "; exit ${PIPESTATUS[0]}";
  velmora::testing::ProcessOptions options = machine.options_for({});
  options.args = {"-c", line, VELMORA_BIN};
  options.args.insert(options.args.end(), args.begin(), args.end());
  return velmora::testing::run_process("/bin/bash", options);
}

TEST(HeadlessOutput, APlainTurnInEachFormat) {
  SimProcess sim;
  SessionMachine machine;
  const auto text =
      machine.run(session_args(sim, {"--query", "hi sim:stream=3", "--output-format", "text"}));
  ASSERT_EQ(text.exit_code, 0) << text.err;
  const std::string first = thread_of_first_open(sim);
  EXPECT_EQ(text.out, "token0 token1 token2\n\nthread_id=" + first + " | reuse with --thread-id " +
                          first + " or /resume " + first + "\n");

  velmora::testing::write_file(machine.home() / "notes.txt", "n");
  const auto one = machine.run(
      session_args(sim, {"--query", "hi sim:stream=3", "--output-format", "json", "--file-api-url",
                         sim.http_url(), "--attachment", "notes.txt"}));
  EXPECT_EQ(one.exit_code, 0) << one.err;
  const auto result = result_of(one, "json");
  EXPECT_EQ(result.at("status"), "success");
  EXPECT_EQ(result.at("answer"), "token0 token1 token2");
  EXPECT_EQ(result.at("is_new_thread"), true);
  EXPECT_TRUE(result.contains("usage"));
  EXPECT_TRUE(result.contains("server_duration_ms"));
  EXPECT_FALSE(result.contains("error"));
  const auto uploads = sim.records("upload");
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(json::serialize(result.at("attachments")),
            R"([{"path":"notes.txt","relative_path":)" +
                json::serialize(uploads[0].at("relative_path")) + "}]");
  const std::string second = std::string(result.at("thread_id").as_string());
  EXPECT_EQ(sim.records("ws_open").at(1).at("thread_id"), json::value(second));

  // The environment stands in for the option.
  auto options = machine.options_for(session_args(sim, {"--query", "hi sim:stream=3"}));
  options.env["VELMORA_OUTPUT_FORMAT"] = "stream-json";
  const auto stream = velmora::testing::run_process(VELMORA_BIN, options);
  EXPECT_EQ(stream.exit_code, 0) << stream.err;
  const auto lines = checked_lines(stream, "stream-json");
  ASSERT_GE(lines.size(), 3u) << stream.out;
  EXPECT_EQ(lines.front().at("type"), "init");
  EXPECT_EQ(lines.front().at("endpoint"), json::value(sim.ws_url()));
  EXPECT_EQ(lines.front().at("user_id"), "u1");
  std::string streamed;
  for (const auto& line : lines) {
    if (line.at("type") == "answer_delta") streamed += line.at("delta").as_string();
  }
  // Deltas as sent; the result's answer is the text as the plain output prints it.
  EXPECT_EQ(streamed, "token0 token1 token2 ");
  EXPECT_EQ(lines.back().at("answer"), "token0 token1 token2");
  EXPECT_EQ(lines.back().at("thread_id"), lines.front().at("thread_id"));
  // No token anywhere on standard output.
  EXPECT_THAT(stream.out + one.out, Not(HasSubstr(velmora::testing::SESSION_TOKEN)));
  EXPECT_THAT(sent_types(sim),
              ElementsAre("query", "terminate", "query", "terminate", "query", "terminate"));
}

TEST(HeadlessOutput, ToolsQuestionsAndPlanBecomeEventsAndTheQuestionIsAnsweredAutomatically) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  const auto stream = machine.run(
      session_args(sim, {"--query", "trip sim:ask sim:plan", "--output-format", "stream-json"}));
  ASSERT_EQ(stream.exit_code, 0) << stream.err;
  const auto lines = checked_lines(stream, "stream-json");
  const auto types = types_of(lines);
  for (const char* type : {"init", "thinking", "step", "tool", "plan", "question",
                           "question_answered", "message", "answer_delta", "result"}) {
    EXPECT_THAT(types, Contains(type)) << stream.out;
  }
  std::vector<std::string> tool_phases;
  for (const auto& line : lines) {
    if (line.at("type") == "tool") tool_phases.emplace_back(line.at("phase").as_string());
  }
  EXPECT_THAT(tool_phases, Contains("started"));
  EXPECT_THAT(tool_phases, Contains("completed"));
  const auto& result = lines.back();
  ASSERT_EQ(result.at("questions").as_array().size(), 1u) << stream.out;
  const auto& answers = result.at("questions").at(0).at("answers").as_object();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers.begin()->value(), "Short summary");
  // The answer went to the service as sent, and the turn quoted it.
  EXPECT_THAT(sent_types(sim), ElementsAre("query", "ask_message", "terminate"));
  EXPECT_THAT(std::string(result.at("answer").as_string()), HasSubstr("Short summary"));

  const auto one =
      machine.run(session_args(sim, {"--query", "trip sim:ask-free", "--output-format", "json",
                                     "--default-freeform-answer", "tomorrow"}));
  ASSERT_EQ(one.exit_code, 0) << one.err;
  const auto single = result_of(one, "json");
  EXPECT_EQ(single.at("questions").at(0).at("answers").as_object().begin()->value(), "tomorrow");
}

TEST(HeadlessOutput, AResumedThreadReportsOnlyTheNewAnswer) {
  constexpr const char* TWO_TURNS = R"({"turns": [
    {"match": "first", "steps": [
      {"stream": {"text": "Answer one", "chunk": 4, "message_id": "a1"}}, {"complete": {}}]},
    {"match": "second", "steps": [
      {"send": {"type": "text", "content": "Answer two", "message_id": "a2"}}, {"complete": {}}]}
  ]})";
  SessionMachine machine;
  SimProcess sim({"--script", session_e2e::write_script(machine.home(), TWO_TURNS).string()});
  const auto first =
      machine.run(session_args(sim, {"--query", "first", "--output-format", "json"}));
  ASSERT_EQ(first.exit_code, 0) << first.err;
  const std::string thread_id = std::string(result_of(first, "json").at("thread_id").as_string());

  for (const std::string format : {"json", "stream-json"}) {
    const auto second = machine.run(session_args(
        sim, {"--thread-id", thread_id, "--query", "second", "--output-format", format}));
    ASSERT_EQ(second.exit_code, 0) << second.err;
    const auto lines = checked_lines(second, format);
    ASSERT_FALSE(lines.empty());
    const auto& result = lines.back();
    EXPECT_EQ(result.at("answer"), "Answer two") << format;
    EXPECT_EQ(result.at("is_new_thread"), false);
    EXPECT_EQ(result.at("thread_id"), json::value(thread_id));
    EXPECT_THAT(result.at("notices").as_array(),
                Contains(json::value("reusing thread " + thread_id)));
    EXPECT_THAT(second.out, Not(HasSubstr("Answer one"))) << format;
  }
}

TEST(HeadlessOutput, StartUpFailuresStillEndWithOneResult) {
  SimProcess sim;
  SessionMachine machine;
  const struct {
    std::vector<std::string> args;
    int exit_code;
    const char* kind;
    const char* summary;
  } cases[] = {
      {{"--user-id", "u1", "--token", "t", "--query", "x"},
       1,
       "config",
       "Missing websocket endpoint."},
      // Nobody can complete a browser login for a program.
      {{"--url", sim.ws_url(), "--query", "x"}, 1, "auth", "Login required."},
      {{"--url", "ws://127.0.0.1:1/ws/v3", "--user-id", "u1", "--token", "t", "--query", "x"},
       1,
       "network",
       "Failed to reach the websocket endpoint."},
      {{"--url", sim.ws_url(), "--user-id", "u1", "--token", "t", "--config", "{oops", "--query",
        "x"},
       1,
       "config",
       "Invalid --config JSON."},
      {{"--url", sim.ws_url(), "--user-id", "u1", "--token", "t"},
       2,
       "usage",
       "Invalid command line."},
  };
  for (const auto& c : cases) {
    for (const std::string format : {"json", "stream-json"}) {
      auto args = c.args;
      args.insert(args.end(), {"--output-format", format});
      const auto run = machine.run(args);
      EXPECT_EQ(run.exit_code, c.exit_code) << run.out << run.err;
      const auto lines = checked_lines(run, format);
      ASSERT_EQ(lines.size(), 1u) << run.out;
      EXPECT_EQ(lines[0].at("status"), "error");
      EXPECT_EQ(lines[0].at("error").at("kind"), c.kind) << run.out;
      EXPECT_EQ(lines[0].at("error").at("summary"), c.summary) << run.out;
      // What people read went to standard error.
      EXPECT_FALSE(run.err.empty());
    }
  }
  // An unusable format never gets a JSON line: exit 2 and the usage on standard error.
  const auto bad_option =
      machine.run(session_args(sim, {"--query", "x", "--output-format", "xml"}));
  EXPECT_EQ(bad_option.exit_code, 2);
  EXPECT_EQ(bad_option.out, "");
  auto options = machine.options_for(session_args(sim, {"--query", "x"}));
  options.env["VELMORA_OUTPUT_FORMAT"] = "yaml";
  const auto bad_env = velmora::testing::run_process(VELMORA_BIN, options);
  EXPECT_EQ(bad_env.exit_code, 2);
  EXPECT_THAT(bad_env.err, HasSubstr("VELMORA_OUTPUT_FORMAT: 'yaml' is not one of"));
  EXPECT_EQ(bad_env.out, "");
  EXPECT_THAT(sent_types(sim), IsEmpty());
}

constexpr const char* SILENT_AGENT = R"({"turns": [
  {"match": "partial", "steps": [
    {"send": {"type": "text_delta", "delta": "Partial answer", "message_id": "m1"}},
    {"delay": 60}]},
  {"match": "nothing", "steps": [{"delay": 60}]}
]})";

TEST(HeadlessOutput, TimeOutsDropsAndAgentErrorsAreNeverASuccess) {
  SessionMachine machine;
  SimProcess sim({"--script", session_e2e::write_script(machine.home(), SILENT_AGENT).string(),
                  "--answer-timeout", "60"});
  auto run = machine.run(
      session_args(sim, {"--timeout", "1", "--query", "nothing", "--output-format", "json"}));
  EXPECT_EQ(run.exit_code, 1);
  auto result = result_of(run, "json");
  EXPECT_EQ(result.at("status"), "timeout");
  EXPECT_EQ(result.at("error").at("kind"), "timeout");

  // A soft time-out keeps the plain run's status and says what happened.
  run = machine.run(session_args(
      sim, {"--timeout", "1", "--query", "partial", "--output-format", "stream-json"}));
  EXPECT_EQ(run.exit_code, 0);
  result = result_of(run, "stream-json");
  EXPECT_EQ(result.at("status"), "timeout");
  EXPECT_EQ(result.at("answer"), "Partial answer");

  SimProcess dropping({"--drop-after-frames", "4", "--pace", "0.01", "--fault-connections", "0"});
  for (const std::string format : {"json", "stream-json"}) {
    run = machine.run(
        session_args(dropping, {"--query", "long sim:stream=50", "--output-format", format}));
    EXPECT_EQ(run.exit_code, 1) << run.out;
    result = result_of(run, format);
    EXPECT_EQ(result.at("status"), "error");
    EXPECT_EQ(result.at("error").at("kind"), "connection_lost");
    EXPECT_THAT(std::string(result.at("answer").as_string()), HasSubstr("token0"));
  }

  SimProcess plain;
  run = machine.run(session_args(plain, {"--query", "sim:error", "--output-format", "json"}));
  EXPECT_EQ(run.exit_code, 1);
  result = result_of(run, "json");
  EXPECT_EQ(result.at("status"), "error");
  EXPECT_EQ(result.at("error").at("kind"), "agent");
  EXPECT_FALSE(result.at("error").at("detail").is_null());
}

TEST(HeadlessOutput, CtrlCInterruptsTheTurnAndTheResultSaysSo) {
  SimProcess sim({"--slow-delay", "0.05", "--slow-count", "400"});
  SessionMachine machine;
  auto child = machine.start(
      session_args(sim, {"--query", "slow sim:slow", "--output-format", "stream-json"}));
  ASSERT_TRUE(sim.wait_for_record([](const json::object& r) {
    return r.at("event") == "ws_frame" && r.at("frame").at("type") == "query";
  }));
  child.send_signal(SIGINT);
  const auto run = child.wait(60);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  const auto result = result_of(run, "stream-json");
  EXPECT_EQ(result.at("status"), "interrupted");
  EXPECT_THAT(sent_types(sim), ElementsAre("query", "interrupt", "terminate"));
}

TEST(HeadlessOutput, QueryFromStandardInput) {
  SimProcess sim;
  SessionMachine machine;
  auto run = machine.run(session_args(sim, {"--query", "-"}), "two lines\nsim:stream=1\n");
  EXPECT_EQ(run.exit_code, 0) << run.err;
  run = machine.run(session_args(sim, {"--query", "-", "--output-format", "json"}),
                    "Grüße sim:stream=2");
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(result_of(run, "json").at("answer"), "token0 token1");
  const auto frames = sent_frames(sim);
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].at("query"), "two lines\nsim:stream=1");
  EXPECT_EQ(frames[2].at("query"), "Grüße sim:stream=2");

  const struct {
    std::string input;
    const char* error;
  } refused[] = {
      {"bad \xff byte", "not valid UTF-8"},
      {" \n\n", "is empty"},
      {std::string(1024 * 1024 + 1, 'a'), "over 1 MiB"},
  };
  for (const auto& c : refused) {
    run = machine.run(session_args(sim, {"--query", "-"}), c.input);
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_THAT(run.err, HasSubstr(c.error));
    EXPECT_EQ(run.out, "");
    run = machine.run(session_args(sim, {"--query", "-", "--output-format", "json"}), c.input);
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(result_of(run, "json").at("error").at("kind"), "usage");
  }
  // JSON output needs a query.
  run = machine.run(session_args(sim, {"--output-format", "stream-json"}));
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_THAT(run.err, HasSubstr("--output-format stream-json needs --query"));
  EXPECT_EQ(sent_frames(sim).size(), 4u);
}

TEST(HeadlessOutput, OutputThatCannotBeWrittenFailsTheRunAndStillTerminates) {
  SimProcess sim;
  SessionMachine machine;
  std::size_t runs = 0;
  for (const std::string format : {"text", "json", "stream-json"}) {
    for (const std::string plumbing : {"> /dev/full", "| true"}) {
      const auto run = run_plumbed(
          machine, session_args(sim, {"--query", "hi sim:stream=3", "--output-format", format}),
          plumbing);
      ++runs;
      EXPECT_FALSE(run.timed_out);
      EXPECT_EQ(run.exit_code, 1) << format << plumbing << run.err;
      const std::string cause = plumbing == "| true" ? "Broken pipe" : "No space left on device";
      EXPECT_THAT(run.err, HasSubstr("velmora: the output could not be written to standard "
                                     "output: " +
                                     cause))
          << format << plumbing;
      // The session still closed with terminate.
      const auto types = sent_types(sim);
      EXPECT_EQ(std::count(types.begin(), types.end(), "terminate"), static_cast<long>(runs))
          << format << plumbing;
    }
  }
}

}  // namespace
