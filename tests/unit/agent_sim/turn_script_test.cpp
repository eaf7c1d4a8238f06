#include "turn_script.hpp"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include "test_support.hpp"
#include "velmora/base/errors.hpp"

namespace {

using velmora::agent_sim::parse_script;
using velmora::agent_sim::ScriptTurnPicker;
using velmora::agent_sim::StepKind;

TEST(TurnScript, ReadsEveryStepKind) {
  const auto script = parse_script(boost::json::parse(R"({
    "faults": {"drop_after_frames": 4, "metadata_delay": 0.5, "send_binary": true},
    "on_connect": [{"send_text": "hello"}],
    "turns": [{"match": "hi", "once": true, "steps": [
      {"send": {"type": "commentary", "content": "{{query}}"}},
      {"send_text": "not json"},
      {"send_binary": "bin"},
      {"send_binary_hex": "00ff"},
      {"delay": 0.25},
      {"wait_answer": {"timeout": 3, "fail_on_timeout": true}},
      {"wait_answer": true},
      {"stream": {"text": "abc", "chunk": 2, "delay": 0.1, "message_id": "m", "type": "answer_delta"}},
      {"throughput": {"count": 10, "message_id": "m2", "rate": 500}},
      {"throughput": 5},
      {"complete": {"status": "done"}},
      {"oversized": 2048},
      {"stall": true},
      {"close": true},
      {"drop": true},
      {"close": {"code": 4401, "reason": "token expired"}}]}],
    "fallback": "error"})"));
  EXPECT_EQ(script.faults.drop_after_frames, 4u);
  EXPECT_EQ(script.faults.metadata_delay, 0.5);
  EXPECT_EQ(script.faults.send_binary, true);
  EXPECT_FALSE(script.fallback_demo);
  ASSERT_EQ(script.on_connect.size(), 1u);
  ASSERT_EQ(script.turns.size(), 1u);
  const auto& steps = script.turns[0].steps;
  const std::vector<StepKind> kinds = {
      StepKind::send,       StepKind::send_text,   StepKind::send_binary, StepKind::send_binary,
      StepKind::delay,      StepKind::wait_answer, StepKind::wait_answer, StepKind::stream,
      StepKind::throughput, StepKind::throughput,  StepKind::complete,    StepKind::oversized,
      StepKind::stall,      StepKind::close,       StepKind::drop,        StepKind::close};
  ASSERT_EQ(steps.size(), kinds.size());
  for (std::size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(steps[i].kind, kinds[i]) << i;
  EXPECT_EQ(steps[3].text, std::string("\x00\xff", 2));
  EXPECT_EQ(steps[4].seconds, 0.25);
  EXPECT_TRUE(steps[5].fail_on_timeout);
  EXPECT_EQ(steps[5].seconds, 3);
  EXPECT_EQ(steps[7].count, 2u);
  EXPECT_EQ(steps[7].frame_type, "answer_delta");
  EXPECT_EQ(steps[8].count, 10u);
  EXPECT_EQ(steps[8].seconds, 500);
  EXPECT_EQ(steps[9].count, 5u);
  EXPECT_EQ(steps[11].count, 2048u);
  EXPECT_EQ(steps[13].close_code, 1000);
  EXPECT_EQ(steps[15].close_code, 4401);
  EXPECT_EQ(steps[15].text, "token expired");
}

TEST(TurnScript, NamesThePlaceOfTheFirstProblem) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"([])", "script: expected an object"},
      {R"({"turn": []})", "turn: unknown key"},
      {R"({"turns": [{"steps": [{"sned": {}}]}]})", "turns[0].steps[0]: unknown step \"sned\""},
      {R"({"turns": [{"steps": [{"delay": -1}]}]})",
       "turns[0].steps[0].delay: expected a non-negative number of seconds"},
      {R"({"turns": [{"steps": [{"delay": 1, "send": {}}]}]})",
       "turns[0].steps[0]: a step is an object with exactly one key"},
      {R"({"turns": [{"match": "x"}]})", "turns[0]: needs \"steps\""},
      {R"({"turns": [{"steps": [{"stream": {"chunk": 2}}]}]})",
       "turns[0].steps[0].stream: needs \"text\""},
      {R"({"turns": [{"steps": [{"send_binary_hex": "zz"}]}]})",
       "turns[0].steps[0].send_binary_hex: not a hexadecimal digit"},
      {R"({"on_connect": [{"wait_answer": {"timeout": 1, "x": 2}}]})",
       "on_connect[0].wait_answer.x: unknown option"},
      {R"({"turns": [{"steps": [{"throughput": {"count": 2, "rate": 0}}]}]})",
       "turns[0].steps[0].throughput.rate: expected frames per second above 0"},
      {R"({"turns": [{"steps": [{"close": {"code": 1005}}]}]})",
       "turns[0].steps[0].close.code: expected a close code that may be sent"},
      {R"({"faults": {"drop_after": 3}})", "faults.drop_after: unknown fault"},
      {R"({"faults": {"upload_status": 42}})",
       "faults.upload_status: expected an HTTP status from 100 to 599"},
      {R"({"fallback": "nothing"})", "fallback: expected demo or error"},
  };
  for (const auto& [text, message] : cases) {
    try {
      (void)parse_script(boost::json::parse(text));
      ADD_FAILURE() << "accepted " << text;
    } catch (const velmora::base::RuntimeError& e) {
      EXPECT_EQ(std::string(e.what()), message) << text;
    }
  }
}

TEST(TurnScript, LoadReportsMissingAndInvalidFiles) {
  velmora::testing::TempDir dir;
  EXPECT_THROW((void)velmora::agent_sim::load_script(dir.path() / "none.json"),
               velmora::base::FileNotFoundError);
  velmora::testing::write_file(dir.path() / "bad.json", "{\"turns\": [");
  try {
    (void)velmora::agent_sim::load_script(dir.path() / "bad.json");
    ADD_FAILURE() << "accepted invalid JSON";
  } catch (const velmora::base::RuntimeError& e) {
    EXPECT_NE(std::string(e.what()).find("is not valid JSON"), std::string::npos) << e.what();
  }
}

TEST(TurnScript, PicksTheFirstMatchingTurnAndUsesOnceTurnsOnce) {
  const auto script = parse_script(boost::json::parse(R"({"turns": [
      {"match": "weather", "once": true, "steps": [{"delay": 1}]},
      {"match": "weather", "steps": [{"delay": 2}]},
      {"steps": [{"delay": 3}]}]})"));
  ScriptTurnPicker picker(script);
  const auto seconds = [&](std::string_view query) {
    const auto* turn = picker.pick(query);
    return turn ? turn->steps[0].seconds : -1.0;
  };
  EXPECT_EQ(seconds("the weather today"), 1);
  EXPECT_EQ(seconds("weather again"), 2);
  EXPECT_EQ(seconds("weather again"), 2);
  EXPECT_EQ(seconds("something else"), 3);

  const auto strict =
      parse_script(boost::json::parse(R"({"turns": [{"match": "x", "steps": []}]})"));
  ScriptTurnPicker none(strict);
  EXPECT_EQ(none.pick("y"), nullptr);
}

}  // namespace
