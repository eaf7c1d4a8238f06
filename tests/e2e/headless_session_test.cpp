// The persistent session (`--input-format stream-json`) end to end: the real binary fed JSON
// lines on standard input against the simulator. Every output line is checked against
// schema/headless-output.schema.json.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "headless_lines.hpp"
#include "session_machine.hpp"

namespace {

using headless_e2e::checked_lines;
using headless_e2e::types_of;
using session_e2e::sent_frames;
using session_e2e::sent_types;
using session_e2e::session_args;
using session_e2e::SessionMachine;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using velmora::testing::ProcessResult;
using velmora::testing::SimProcess;
namespace json = boost::json;

std::vector<std::string> persistent_args(const SimProcess& sim,
                                         std::vector<std::string> more = {}) {
  std::vector<std::string> args = {"--input-format", "stream-json", "--output-format",
                                   "stream-json"};
  args.insert(args.end(), more.begin(), more.end());
  return session_args(sim, args);
}

std::string query_line(const std::string& text, json::object more = {}) {
  more["type"] = "query";
  more["query"] = text;
  return json::serialize(more) + "\n";
}

std::vector<json::object> of_type(const std::vector<json::object>& lines, std::string_view type) {
  std::vector<json::object> found;
  for (const auto& line : lines) {
    if (line.at("type").as_string() == type) found.push_back(line);
  }
  return found;
}

/// A running session the test talks to line by line; everything it wrote is kept for the schema
/// check at the end.
class LiveSession {
 public:
  LiveSession(const SessionMachine& machine, std::vector<std::string> args)
      : child_(machine.start(std::move(args))) {}

  void send(const std::string& line) { child_.write_stdin(line); }

  /// Reads up to the next line of `type` whose `field` is `value` (any, when empty); nothing
  /// when the output ends or stays quiet for a minute.
  std::optional<json::object> until(std::string_view type, std::string_view field = {},
                                    std::string_view value = {}) {
    while (auto text = child_.read_line(60)) {
      transcript_ += *text + "\n";
      boost::system::error_code ec;
      auto parsed = json::parse(*text, ec);
      if (ec || !parsed.is_object()) continue;
      const json::object& line = parsed.as_object();
      if (line.at("type").as_string() != type) continue;
      if (!field.empty()) {
        const auto* found = line.if_contains(field);
        if (found == nullptr || !found->is_string() ||
            std::string_view(found->get_string()).find(value) == std::string_view::npos) {
          continue;
        }
      }
      return line;
    }
    return std::nullopt;
  }

  void signal(int number) { child_.send_signal(number); }

  /// Ends standard input and waits; the whole output, checked, in `out`.
  ProcessResult finish() {
    child_.close_stdin();
    ProcessResult result = child_.wait(90);
    result.out = transcript_ + result.out;
    headless_e2e::expect_valid_lines(result.out, "session");
    return result;
  }

 private:
  velmora::testing::ChildProcess child_;
  std::string transcript_;
};

TEST(HeadlessSession, QueriesQueueInOrderOnOneConnection) {
  // The first turn is slow: the two queries after it arrive while it runs.
  SimProcess sim({"--pace", "0", "--slow-delay", "0.05", "--slow-count", "6"});
  SessionMachine machine;
  velmora::testing::write_file(machine.home() / "notes.txt", "n");
  const std::string input =
      query_line("first sim:slow") +
      query_line("second sim:stream=2",
                 {{"config", {{"account", "42"}}}, {"system_prompt", "be brief"}}) +
      query_line("third sim:stream=1", {{"attachments", json::array{"notes.txt"}}});
  const auto run = machine.run(
      persistent_args(sim, {"--file-api-url", sim.http_url(), "--config", "{\"run\":1}"}), input);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const auto lines = checked_lines(run, "session");
  const auto results = of_type(lines, "result");
  ASSERT_EQ(results.size(), 3u) << run.out;
  for (const auto& result : results) EXPECT_EQ(result.at("status"), "success") << run.out;
  EXPECT_THAT(std::string(results[0].at("answer").as_string()), HasSubstr("Part 6 of"));
  EXPECT_EQ(results[1].at("answer"), "token0 token1");
  EXPECT_EQ(results[2].at("answer"), "token0");
  // Each result is its turn's: the attachment is the third turn's alone.
  EXPECT_TRUE(results[1].at("attachments").as_array().empty());
  ASSERT_EQ(results[2].at("attachments").as_array().size(), 1u);
  EXPECT_EQ(results[2].at("attachments").at(0).at("path"), "notes.txt");
  EXPECT_EQ(results[0].at("thread_id"), results[2].at("thread_id"));
  // The service never saw a query while a turn ran.
  EXPECT_THAT(run.out, Not(HasSubstr("turn_in_progress")));
  EXPECT_EQ(types_of(lines).front(), "init");

  EXPECT_EQ(sim.records("ws_open").size(), 1u);
  EXPECT_THAT(sent_types(sim), ElementsAre("query", "query", "query", "terminate"));
  const auto frames = sent_frames(sim);
  // A query line's settings replace the run's for that query only.
  EXPECT_EQ(json::serialize(frames[0].at("config")), R"({"run":1})");
  EXPECT_EQ(json::serialize(frames[1].at("config")), R"({"account":"42"})");
  EXPECT_EQ(frames[1].at("system_prompt"), "be brief");
  EXPECT_EQ(json::serialize(frames[2].at("config")), R"({"run":1})");
  EXPECT_EQ(frames[2].at("attachments").as_array().size(), 1u);

  // What cannot run: exit 2, nothing sent.
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {session_args(sim, {"--input-format", "stream-json"}), "needs --output-format stream-json"},
      {session_args(sim, {"--input-format", "stream-json", "--output-format", "json"}),
       "needs --output-format stream-json"},
      {persistent_args(sim, {"--query", "x"}), "excludes --query"},
  };
  for (const auto& [args, error] : refused) {
    const auto bad = machine.run(args, query_line("x"));
    EXPECT_EQ(bad.exit_code, 2) << bad.out;
    EXPECT_THAT(bad.err, HasSubstr(error));
  }
  auto options = machine.options_for(session_args(sim, {"--output-format", "stream-json"}));
  options.env["VELMORA_INPUT_FORMAT"] = "lines";
  const auto bad_env = velmora::testing::run_process(VELMORA_BIN, options);
  EXPECT_EQ(bad_env.exit_code, 2);
  EXPECT_THAT(bad_env.err, HasSubstr("VELMORA_INPUT_FORMAT: 'lines' is not one of"));
  EXPECT_EQ(sent_frames(sim).size(), 4u);
}

TEST(HeadlessSession, QuestionsAreAnsweredFromInputOrAutomatically) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  LiveSession session(machine, persistent_args(sim));
  session.send(query_line("trip sim:ask"));
  const auto question = session.until("question");
  ASSERT_TRUE(question);
  const std::string id(question->at("message_id").as_string());
  const std::string text(question->at("questions").at(0).at("question").as_string());
  // An answer for another question is refused, and the question still waits.
  session.send(R"({"type":"answer","message_id":"other","answers":{"q":"a"}})"
               "\n");
  const auto refused = session.until("error", "code", "input_no_question");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->at("line"), 2);
  session.send(
      json::serialize(json::object{
          {"type", "answer"}, {"message_id", id}, {"answers", {{text, "Detailed report"}}}}) +
      "\n");
  const auto answered = session.until("question_answered");
  ASSERT_TRUE(answered);
  const auto result = session.until("result");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->at("status"), "success");
  EXPECT_EQ(result->at("questions").at(0).at("answers").at(text), "Detailed report");
  EXPECT_THAT(std::string(result->at("answer").as_string()), HasSubstr("Detailed report"));
  // The question of a finished turn takes no answer.
  session.send(json::serialize(json::object{
                   {"type", "answer"}, {"message_id", id}, {"answers", {{text, "late"}}}}) +
               "\n");
  ASSERT_TRUE(session.until("error", "code", "input_no_question"));
  const auto run = session.finish();
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_THAT(sent_types(sim), ElementsAre("query", "ask_message", "terminate"));
  EXPECT_EQ(sent_frames(sim)[1].at("answers").at(text), "Detailed report");

  // With --non-interactive the automatic answer goes out at once.
  const auto automatic =
      machine.run(persistent_args(sim, {"--non-interactive"}), query_line("trip sim:ask"));
  EXPECT_EQ(automatic.exit_code, 0) << automatic.err;
  const auto lines = checked_lines(automatic, "session");
  EXPECT_THAT(types_of(lines), Contains("question_answered"));
  const auto results = of_type(lines, "result");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].at("questions").at(0).at("answers").at(text), "Short summary");
}

constexpr const char* DROPPING_AGENT = R"({"turns": [
  {"match": "between", "once": true, "steps": [
    {"send": {"type": "text", "content": "Before the drop", "message_id": "b1"}},
    {"complete": {}}, {"drop": true}]},
  {"match": "during", "once": true, "steps": [
    {"send": {"type": "text_delta", "delta": "Half an answer", "message_id": "d1"}},
    {"drop": true}]},
  {"match": "after", "steps": [
    {"send": {"type": "text", "content": "After {{turn}}", "message_id": "a{{turn}}"}},
    {"complete": {}}]}
]})";

TEST(HeadlessSession, ADropBetweenOrDuringTurnsIsRestoredOnTheSameThread) {
  SessionMachine machine;
  SimProcess sim({"--script", session_e2e::write_script(machine.home(), DROPPING_AGENT).string(),
                  "--fault-connections", "0"});
  LiveSession session(machine, persistent_args(sim));
  // Sends `query`; its result line must report success with `answer`.
  const auto answered = [&session](const std::string& query, const char* answer) {
    session.send(query_line(query));
    auto result = session.until("result");
    EXPECT_TRUE(result) << "no result for " << query;
    if (result) {
      EXPECT_EQ(result->at("status"), "success");
      EXPECT_EQ(result->at("answer"), answer);
    }
    return result;
  };

  const auto first = answered("between", "Before the drop");
  ASSERT_TRUE(first);
  ASSERT_TRUE(session.until("notice", "text", "Reconnected."));
  // Replayed history is not this turn's answer.
  const auto second = answered("after", "After 1");
  ASSERT_TRUE(second);
  EXPECT_THAT(json::serialize(second->at("notices")), HasSubstr("Reconnected."));

  session.send(query_line("during"));
  const auto cut = session.until("result");
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->at("status"), "error");
  EXPECT_EQ(cut->at("exit_code"), 1);
  EXPECT_EQ(cut->at("error").at("kind"), "connection_lost");
  EXPECT_EQ(cut->at("error").at("summary"), "Connection lost before the answer completed.");
  EXPECT_EQ(cut->at("answer"), "Half an answer");
  ASSERT_TRUE(session.until("notice", "text", "send the question again"));
  ASSERT_TRUE(answered("after", "After 1"));

  const auto run = session.finish();
  EXPECT_EQ(run.exit_code, 0) << run.err;
  const auto opened = sim.records("ws_open");
  ASSERT_EQ(opened.size(), 3u);
  for (const auto& open : opened) EXPECT_EQ(open.at("thread_id"), first->at("thread_id"));
  EXPECT_THAT(sent_types(sim), ElementsAre("query", "query", "query", "query", "terminate"));
}

TEST(HeadlessSession, BadInputIsReportedAndTheSessionReadsOn) {
  SimProcess sim({"--pace", "0"});
  SessionMachine machine;
  std::filesystem::create_directory(machine.home() / "folder");
  const std::string input =
      std::string("not json\n") +                                         // 1
      "{\"type\":\"shout\"}\n" +                                          // 2
      "{\"type\":\"query\",\"query\":\"   \"}\n" +                        // 3
      query_line("x", {{"attachments", json::array{"missing.txt"}}}) +    // 4
      query_line("x", {{"attachments", json::array{"folder"}}}) +         // 5
      "{\"type\":\"answer\",\"message_id\":\"q1\",\"answers\":{}}\n" +    // 6
      "\"a string\"\n" +                                                  // 7
      "{\"type\":\"query\",\"query\":\"bad \xff byte\"}\n" +              // 8
      std::string((std::size_t{64} << 20) + 1, 'a') + "\n" +              // 9
      "\n" +                                                              // 10
      "{\"type\":\"interrupt\"}\n" +                                      // 11
      "{\"type\":\"query\",\"query\":\"still here sim:stream=2\"}\r\n" +  // 12
      "{\"type\":\"query\",\"query\":\"no line break sim:stream=1\"}";    // 13
  const auto run = machine.run(persistent_args(sim), input);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  const auto lines = checked_lines(run, "session");
  std::vector<std::pair<std::int64_t, std::string>> errors;
  for (const auto& line : of_type(lines, "error")) {
    errors.emplace_back(line.at("line").as_int64(), std::string(line.at("code").as_string()));
    EXPECT_THAT(std::string(line.at("message").as_string()),
                HasSubstr("line " + std::to_string(line.at("line").as_int64()) + ": "));
  }
  EXPECT_THAT(errors, ElementsAre(std::pair<std::int64_t, std::string>{1, "input_not_json"},
                                  std::pair<std::int64_t, std::string>{2, "input_unknown_type"},
                                  std::pair<std::int64_t, std::string>{3, "input_invalid_query"},
                                  std::pair<std::int64_t, std::string>{4, "input_attachment"},
                                  std::pair<std::int64_t, std::string>{5, "input_attachment"},
                                  std::pair<std::int64_t, std::string>{6, "input_no_question"},
                                  std::pair<std::int64_t, std::string>{7, "input_not_json"},
                                  std::pair<std::int64_t, std::string>{8, "input_not_json"},
                                  std::pair<std::int64_t, std::string>{9, "input_too_long"}));
  const auto results = of_type(lines, "result");
  ASSERT_EQ(results.size(), 2u) << run.out.substr(0, 4000);
  EXPECT_EQ(results[0].at("answer"), "token0 token1");
  EXPECT_EQ(results[1].at("answer"), "token0");
  EXPECT_THAT(sent_types(sim), ElementsAre("query", "query", "terminate"));

  // Output that cannot be written ends the session with status 1; terminate still goes out.
  auto full = machine.options_for({});
  full.args = {"-c", "\"$0\" \"$@\" > /dev/full", VELMORA_BIN};
  for (const auto& arg : persistent_args(sim)) full.args.push_back(arg);
  full.stdin_data = query_line("one sim:stream=1") + query_line("two sim:stream=1");
  const auto closed_before = sent_types(sim).size();
  const auto unwritten = velmora::testing::run_process("/bin/bash", full);
  EXPECT_FALSE(unwritten.timed_out);
  EXPECT_EQ(unwritten.exit_code, 1);
  EXPECT_THAT(unwritten.err, HasSubstr("velmora: the output could not be written to standard "
                                       "output: No space left on device"));
  const auto types = sent_types(sim);
  ASSERT_GT(types.size(), closed_before);
  EXPECT_EQ(types.back(), "terminate");
}

TEST(HeadlessSession, InterruptEndOfInputMidTurnAndSigterm) {
  SimProcess sim({"--pace", "0", "--slow-delay", "0.05", "--slow-count", "400"});
  SessionMachine machine;
  {
    LiveSession session(machine, persistent_args(sim));
    session.send(query_line("long sim:slow"));
    ASSERT_TRUE(session.until("answer_delta"));
    session.send("{\"type\":\"interrupt\"}\n");
    const auto stopped = session.until("result");
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->at("status"), "interrupted");
    session.send(query_line("short sim:stream=3"));
    const auto next = session.until("result");
    ASSERT_TRUE(next);
    EXPECT_EQ(next->at("status"), "success");
    EXPECT_EQ(next->at("answer"), "token0 token1 token2");
    EXPECT_EQ(session.finish().exit_code, 0);
    EXPECT_THAT(sent_types(sim), ElementsAre("query", "interrupt", "query", "terminate"));
  }
  {
    // SIGTERM: the running turn's result says it was cut short, the queued query is never
    // sent, and the service gets terminate.
    LiveSession session(machine, persistent_args(sim));
    session.send(query_line("long sim:slow") + query_line("never sent sim:stream=1"));
    ASSERT_TRUE(session.until("answer_delta"));
    session.signal(SIGTERM);
    const auto run = session.finish();
    EXPECT_EQ(run.exit_code, 0) << run.err;
    const auto results = of_type(headless_e2e::parsed_lines(run.out), "result");
    ASSERT_EQ(results.size(), 1u) << run.out;
    EXPECT_EQ(results[0].at("status"), "interrupted");
    EXPECT_THAT(std::string(results[0].at("answer").as_string()), HasSubstr("You asked"));
    EXPECT_THAT(sent_types(sim),
                ElementsAre("query", "interrupt", "query", "terminate", "query", "terminate"));
  }
  // The end of input in the middle of a turn: the turn ends, then the session closes.
  SimProcess short_sim({"--pace", "0", "--slow-delay", "0.05", "--slow-count", "10"});
  LiveSession session(machine, persistent_args(short_sim));
  session.send(query_line("ten sim:slow"));
  ASSERT_TRUE(session.until("answer_delta"));
  const auto run = session.finish();
  EXPECT_EQ(run.exit_code, 0) << run.err;
  const auto lines = headless_e2e::parsed_lines(run.out);
  const auto results = of_type(lines, "result");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].at("status"), "success");
  EXPECT_THAT(std::string(results[0].at("answer").as_string()),
              HasSubstr("Part 10 of a long answer."));
  EXPECT_THAT(sent_types(short_sim), ElementsAre("query", "terminate"));
}

}  // namespace
