#include "velmora/ask_prompt_basic.hpp"

#include <gtest/gtest.h>

#include <deque>

#include <boost/json/serialize.hpp>

#include "session_harness.hpp"
#include "velmora/pick_saved_session.hpp"
#include "velmora/prompt_ask.hpp"

namespace {

using session_testing::Harness;
using session_testing::msg;
using velmora::base::awaitable;
namespace json = boost::json;

/// Replies handed out one per read; nothing (end of input) once they run out.
velmora::BlockingLineReader replies(std::vector<std::string> lines) {
  auto queue = std::make_shared<std::deque<std::string>>(lines.begin(), lines.end());
  return [queue]() -> std::optional<std::string> {
    if (queue->empty()) return std::nullopt;
    std::string line = queue->front();
    queue->pop_front();
    return line;
  };
}

velmora::events::AskPromptRequest request(std::string_view questions) {
  return {.message_id = "q1",
          .questions = json::parse(questions).as_array(),
          .message_type = "ask_message"};
}

awaitable<void> basic(velmora::term::Console& console, velmora::events::AskPromptRequest req,
                      velmora::AskAnswerOptions options, json::object& answers) {
  answers = co_await velmora::prompt_and_answer_with_basic_input(console, req, options);
}

TEST(BasicAskFlow, InteractiveRepliesPickOptionsOrAnswerFreely) {
  const auto req = request(R"([
      {"question": "Colour?", "options": [{"label": "red"}, {"label": ""}, {"label": "blue"}]},
      {"question": "Size?", "options": [{"label": "S"}, {"label": "M"}]},
      {"question": "Name?"},
      {"question": "Again?", "options": [{"label": "yes"}]},
      {"options": [{"label": "x"}, {"label": "y"}]}])");
  const struct {
    std::vector<std::string> lines;
    const char* expected;
  } cases[] = {
      {{"2", "", " Bob ", "0", "7"},
       R"({"Colour?":"blue","Size?":"S","Name?":" Bob ","Again?":"0","":"7"})"},
      {{" 1 ", "M", "", "2"}, R"({"Colour?":"red","Size?":"M","Name?":"","Again?":"2","":"x"})"},
      // End of input: options take the first, free-form questions the default.
      {{}, R"({"Colour?":"red","Size?":"S","Name?":"later","Again?":"yes","":"x"})"},
  };
  for (const auto& c : cases) {
    Harness h;
    json::object answers;
    h.run(basic(*h.setup.console, req,
                {.default_freeform_answer = "later", .read_line = replies(c.lines)}, answers));
    EXPECT_EQ(json::serialize(answers), c.expected);
  }
  Harness h;
  json::object answers;
  h.run(basic(*h.setup.console, req, {.read_line = replies({"2", "1", "n", "1", "1"})}, answers));
  const std::string printed = h.output();
  EXPECT_EQ(printed.rfind("Agent asked for input id=q1\n", 0), 0u) << printed;
  EXPECT_NE(printed.find("\nColour?\n  1. red\n  2. blue\nYour answer (1): "), std::string::npos)
      << printed;
  EXPECT_NE(printed.find("Name?: "), std::string::npos) << printed;
}

TEST(BasicAskFlow, NonInteractiveAnswersAutomaticallyAndQuietlyWhenSuppressed) {
  const auto req = request(R"([{"question": "Pick", "options": [{"label": "A"}, {"label": "B"}]},
                               {"question": "Why?"}, {"question": "Pick", "options": [{"label": "C"}]}])");
  for (const bool suppress : {false, true}) {
    Harness h;
    json::object answers;
    h.run(basic(*h.setup.console, req,
                {.non_interactive = true,
                 .default_freeform_answer = "later",
                 .suppress_output = suppress,
                 .read_line = replies({"2"})},
                answers));
    // Two questions with one text share one entry; the later wins.
    EXPECT_EQ(json::serialize(answers), R"({"Pick":"C","Why?":"later"})");
    if (suppress) {
      EXPECT_EQ(h.output(), "");
    } else {
      EXPECT_EQ(h.output(),
                "Agent asked for input id=q1\nauto-selected Pick: A\nauto-filled Why?: later\n"
                "auto-selected Pick: C\n");
    }
  }
}

awaitable<void> ask(velmora::term::Console& console, std::optional<std::string> default_value,
                    velmora::BlockingLineReader reader, std::optional<std::string>& reply) {
  reply = co_await velmora::prompt_ask(console, "Your answer", std::move(default_value),
                                       std::move(reader));
}

TEST(PromptAsk, DefaultsForEmptyRepliesAndNothingAtEndOfInput) {
  const struct {
    std::vector<std::string> lines;
    std::optional<std::string> default_value;
    std::optional<std::string> expected;
  } cases[] = {{{""}, "1", "1"},
               {{" 3 "}, "1", " 3 "},
               {{}, "1", std::nullopt},
               {{""}, std::nullopt, ""},
               {{"x"}, std::nullopt, "x"}};
  for (const auto& c : cases) {
    Harness h;
    std::optional<std::string> reply;
    h.run(ask(*h.setup.console, c.default_value, replies(c.lines), reply));
    EXPECT_EQ(reply, c.expected);
  }
}

awaitable<void> pick(Harness& h, velmora::BlockingLineReader reader,
                     std::optional<std::string>& picked) {
  auto console = h.setup.console;
  auto endpoint = h.setup.cfg.url;
  auto user_id = h.setup.cfg.user_id;
  picked = co_await velmora::pick_saved_session(std::move(console), h.store, std::move(endpoint),
                                                std::move(user_id), std::move(reader));
}

TEST(PickSavedSession, NumberedListChoosesByPositionOrId) {
  const struct {
    std::vector<std::string> lines;
    std::optional<std::string> expected;
  } cases[] = {{{""}, "t-a"},         {{"2"}, "t-b"},        {{" t-b "}, "t-b"},
               {{"3"}, std::nullopt}, {{"0"}, std::nullopt}, {{"zzz"}, std::nullopt},
               {{}, std::nullopt}};
  for (const auto& c : cases) {
    Harness h;
    h.store.filtered_empty = true;
    h.store.sessions = {msg(R"({"thread_id": " t-a ", "updated_at": "2020-01-01T00:00:00Z"})"),
                        msg(R"({"thread_id": "t-b"})")};
    std::optional<std::string> picked;
    h.run(pick(h, replies(c.lines), picked));
    EXPECT_EQ(picked, c.expected);
    EXPECT_NE(h.output().find("Resume a previous session\nSort: Updated at\n"), std::string::npos)
        << h.output();
    EXPECT_NE(h.output().find("  2. t-b "), std::string::npos) << h.output();
    EXPECT_NE(h.output().find("Resume session (1): "), std::string::npos) << h.output();
  }
}

}  // namespace
