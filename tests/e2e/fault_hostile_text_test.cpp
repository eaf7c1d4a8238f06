// Text from a service that does not play fair. Half UTF-16 surrogate pairs in its JSON lose
// nothing of the answer and no message that ends a turn; questions with control sequences are
// answered with their texts as sent; a thread id made to forge lines or fill the disk is not
// taken.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json/array.hpp>
#include <boost/json/serialize.hpp>

#include "session_machine.hpp"
#include "velmora/session_store/session_store.hpp"

namespace {

using session_e2e::session_args;
using session_e2e::SessionMachine;
using session_e2e::write_script;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using velmora::testing::SimProcess;
namespace json = boost::json;

/// Bytes that would drive a terminal: C0 controls but line break and tab, DEL, C1 in UTF-8.
bool has_control_bytes(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) return true;
    if (c == 0xc2 && i + 1 < text.size() &&
        (static_cast<unsigned char>(text[i + 1]) & 0xe0) == 0x80)
      return true;
  }
  return false;
}

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

constexpr const char* HOSTILE_QUESTION = "Q1?\x1b]0;T\x07";
constexpr const char* HOSTILE_OPTION = "OPT\x1b[2J";
constexpr const char* HOSTILE_QUESTION_ID = "q1\x07";

std::string question_agent() {
  json::object ask{
      {"type", "ask_message"},
      {"message_id", HOSTILE_QUESTION_ID},
      {"questions",
       json::array{json::object{{"question", HOSTILE_QUESTION},
                                {"options", json::array{json::object{{"label", HOSTILE_OPTION}},
                                                        json::object{{"label", "Other"}}}}}}}};
  return script_of(
      {{"ask",
        {json::object{{"send", ask}},
         json::object{{"wait_answer", json::object{{"timeout", 20}, {"fail_on_timeout", true}}}},
         json::object{
             {"send",
              json::object{{"type", "text_delta"}, {"message_id", "a"}, {"delta", "Answered."}}}},
         json::object{{"complete", json::object{}}}}}});
}

// The answer frames the client sent.
std::vector<json::object> sent_answers(const SimProcess& sim) {
  std::vector<json::object> out;
  for (const auto& record : sim.records("ws_frame")) {
    const auto* frame = record.if_contains("frame");
    if (frame && frame->is_object() && frame->get_object().contains("answers"))
      out.push_back(frame->get_object());
  }
  return out;
}

TEST(FaultHostileText, QuestionsAreAnsweredWithTheirTextsAsSent) {
  SessionMachine machine;
  SimProcess sim({"--script", write_script(machine.home(), question_agent()).string()});
  // Runs that cannot ask choose the first option for the user, the one-shot and the shell.
  const auto one_shot = machine.run(session_args(sim, {"--query", "ask"}), {}, 60);
  EXPECT_EQ(one_shot.exit_code, 0) << one_shot.out << one_shot.err;
  EXPECT_THAT(one_shot.out, HasSubstr("Answered."));
  const auto shell = machine.run(session_args(sim), "ask\n/exit\n", 60);
  EXPECT_EQ(shell.exit_code, 0) << shell.out << shell.err;
  EXPECT_THAT(shell.out, HasSubstr("Answered."));
  for (const auto* result : {&one_shot, &shell}) {
    EXPECT_FALSE(has_control_bytes(result->out)) << result->out;
    EXPECT_FALSE(has_control_bytes(result->err)) << result->err;
  }

  const auto answers = sent_answers(sim);
  ASSERT_EQ(answers.size(), 2u);
  for (const auto& answer : answers) {
    EXPECT_EQ(answer.at("message_id"), HOSTILE_QUESTION_ID);
    EXPECT_EQ(answer.at("answers"), (json::object{{HOSTILE_QUESTION, HOSTILE_OPTION}}));
  }
}

TEST(FaultHostileText, AThreadIdThatCouldForgeLinesOrFillTheDiskIsNotTaken) {
  const std::string forged[] = {"thr\nFAKE LINE injected=1", std::string(300, 'x'),
                                "thr\x1b]0;T\x07", "thr\xc2\x85next"};
  for (const auto& id : forged) {
    SCOPED_TRACE(id.size());
    SessionMachine machine;
    SimProcess sim({"--pace", "0", "--metadata-thread-id", id});
    const auto result = machine.run(session_args(sim, {"--query", "sim:stream=2"}), {}, 60);
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr("token0 token1"));
    const std::string all = result.out + result.err;
    EXPECT_FALSE(has_control_bytes(all)) << all;
    EXPECT_THAT(all, Not(HasSubstr("FAKE")));
    EXPECT_THAT(all, Not(HasSubstr("xxxxxxxxxx")));
    // Said once; the hint names the id the client asked for.
    const auto opens = sim.records("ws_open");
    ASSERT_EQ(opens.size(), 1u);
    const std::string requested(opens[0].at("requested_thread_id").as_string());
    EXPECT_EQ(velmora::testing::count_of(all, "unusable thread id"), 1u) << all;
    EXPECT_THAT(all, HasSubstr("thread_id=" + requested));
    // Nothing of it was stored.
    velmora::session_store::VelmoraSessionStore store(
        {}, machine.home() / "state" / "velmora" / "sessions.db");
    EXPECT_TRUE(store.list_sessions().empty());
  }

  // The shell, asked for a thread: it stays on that thread and says so once.
  SessionMachine machine;
  SimProcess sim({"--pace", "0", "--metadata-thread-id", "thr\nFAKE"});
  const auto shell =
      machine.run(session_args(sim, {"--thread-id", "mine-1"}), "sim:stream=2\n/exit\n", 60);
  EXPECT_EQ(shell.exit_code, 0) << shell.out << shell.err;
  EXPECT_THAT(shell.out, HasSubstr("token0 token1"));
  EXPECT_THAT(shell.out + shell.err, Not(HasSubstr("FAKE")));
  EXPECT_EQ(velmora::testing::count_of(shell.out + shell.err, "keeping thread mine-1"), 1u)
      << shell.out;
}

std::string long_text(char first) {
  std::string text(1, first);
  for (int i = 0; i < 10000; ++i) text += static_cast<char>('a' + i % 26);
  return text + "END";
}

TEST(FaultHostileText, A10000CharacterLabelOrQuestionStaysInsideTheScreenAndIsAnsweredWhole) {
  const std::string label = long_text('L');
  const std::string question = long_text('Q');
  const auto ask = [](const char* id, const std::string& q, const std::string& first) {
    return json::object{
        {"send",
         {{"type", "ask_message"},
          {"message_id", id},
          {"questions",
           json::array{{{"question", q},
                        {"options", json::array{{{"label", first}}, {{"label", "Second"}}}}}}}}}};
  };
  const json::object wait{{"wait_answer", {{"timeout", 60}}}};
  const json::object done{{"complete", json::object{}}};
  SessionMachine machine;
  SimProcess sim(
      {"--script",
       write_script(machine.home(),
                    script_of({{"label", {ask("q1", HOSTILE_QUESTION, label), wait, done}},
                               {"question", {ask("q2", question, "First"), wait, done}}}))
           .string()});
  session_e2e::Terminal terminal(machine, session_args(sim), {}, 80, 24);
  ASSERT_TRUE(terminal.wait_ready()) << terminal.screen();

  // The whole panel is on screen, framed and with every option; the long text is cut with a
  // marker.
  const auto check_panel = [&](const std::string& visible) {
    EXPECT_THAT(visible, HasSubstr("┤ Agent asked for input ├"));
    EXPECT_THAT(visible, HasSubstr("…"));
    EXPECT_THAT(visible, HasSubstr("Tab to type a custom answer for this question"));
    EXPECT_THAT(visible, HasSubstr("└────"));
    EXPECT_THAT(visible, Not(HasSubstr("END")));
  };
  // A panel counts as shown once `marker`, which only it holds, and a bottom border after it are
  // visible: an answered panel stays on screen above the next one.
  const auto panel_with = [&](const std::string& marker) {
    return terminal.wait_until(
        [&](const std::string& visible) {
          const auto at = visible.find(marker);
          return at != std::string::npos && visible.find("└────", at) != std::string::npos;
        },
        30, true);
  };
  terminal.type("label");
  auto panel = panel_with("│ ❯ ◉ Labcdef");
  ASSERT_TRUE(panel) << terminal.screen();
  check_panel(*panel);
  EXPECT_THAT(*panel, HasSubstr("│ ❯ ◉ Labcdef"));
  // The question's sequences are shown as text, not obeyed: the panel is still there.
  EXPECT_THAT(*panel, HasSubstr("│Q1?"));
  terminal.keys("Enter");
  auto answered = sim.wait_for_record(
      [](const json::object& r) {
        return r.at("event") == "ws_frame" && r.at("frame").as_object().contains("answers");
      },
      30);
  ASSERT_TRUE(answered) << terminal.screen();
  EXPECT_EQ(answered->at("frame").at("answers"), (json::object{{HOSTILE_QUESTION, label}}));

  ASSERT_TRUE(terminal.wait_prompt_after("done in")) << terminal.screen();
  terminal.type("question");
  panel = panel_with("│ ❯ ◉ First");
  ASSERT_TRUE(panel) << terminal.screen();
  check_panel(*panel);
  EXPECT_THAT(*panel, HasSubstr("│Qabcdef"));
  EXPECT_THAT(*panel, HasSubstr("│ ❯ ◉ First"));
  terminal.keys("Down");
  ASSERT_TRUE(terminal.wait_visible("│ ❯ ◉ Second")) << terminal.visible();
  terminal.keys("Enter");
  ASSERT_EQ(sim.wait_for_records("ws_frame", 4).size(), 4u);
  const auto answers = sent_answers(sim);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[1].at("answers"), (json::object{{question, "Second"}}));
  EXPECT_EQ(terminal.exit_shell(), 0) << terminal.screen();
}

}  // namespace
