// Text from a service that does not play fair. Half UTF-16 surrogate pairs in its JSON lose
// nothing of the answer and no message that ends a turn.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
namespace json = boost::json;

constexpr const char* REPLACEMENT = "\xEF\xBF\xBD";

std::string script_of(std::initializer_list<std::pair<const char*, boost::json::array>> turns) {
  boost::json::array list;
  for (const auto& [match, steps] : turns) list.push_back({{"match", match}, {"steps", steps}});
  return boost::json::serialize(boost::json::object{{"turns", std::move(list)}});
}

// Exact frames, since a script's own JSON could not hold a lone surrogate escape.
boost::json::object frame(const char* text) { return {{"send_text", text}}; }

std::string surrogate_agent() {
  return script_of({
      {"lone",
       {frame(R"({"type":"text_delta","message_id":"a","delta":"abc\ud83d"})"),
        frame(R"({"type":"complete","usage":{"n":"\ud800"},"duration_ms":1})")}},
      {"split",
       {frame(R"({"type":"text_delta","message_id":"b","delta":"smile \ud83d"})"),
        frame(R"({"type":"heartbeat"})"),
        frame(R"({"type":"text_delta","message_id":"b","delta":"\ude00 done \udc00."})"),
        frame(R"({"type":"complete","usage":{},"duration_ms":1})")}},
  });
}

TEST(FaultHostileText, LoneAndSplitSurrogatesNeitherLoseTheAnswerNorTheEndOfTheTurn) {
  SessionMachine machine;
  SimProcess sim({"--script", write_script(machine.home(), surrogate_agent()).string()});
  // A dropped "complete" would leave the one-shot waiting for its (default) time limit.
  const auto lone = machine.run(session_args(sim, {"--query", "lone"}), {}, 60);
  ASSERT_FALSE(lone.timed_out) << lone.out;
  EXPECT_EQ(lone.exit_code, 0) << lone.out << lone.err;
  EXPECT_THAT(lone.out, StartsWith(std::string("abc") + REPLACEMENT + "\n"));

  const auto split = machine.run(session_args(sim, {"--query", "split"}), {}, 60);
  ASSERT_FALSE(split.timed_out) << split.out;
  EXPECT_EQ(split.exit_code, 0) << split.out << split.err;
  EXPECT_THAT(split.out,
              StartsWith(std::string("smile \xF0\x9F\x98\x80 done ") + REPLACEMENT + ".\n"));

  // The shell shows the same, and the connection survives both turns.
  const auto shell = machine.run(session_args(sim), "lone\nsplit\n/exit\n", 60);
  EXPECT_EQ(shell.exit_code, 0) << shell.out << shell.err;
  EXPECT_THAT(shell.out, HasSubstr(std::string("abc") + REPLACEMENT));
  EXPECT_THAT(shell.out, HasSubstr("smile \xF0\x9F\x98\x80 done "));
  EXPECT_THAT(shell.out, Not(HasSubstr("Connection lost")));
  EXPECT_EQ(sim.records("ws_open").size(), 3u);
}

}  // namespace
