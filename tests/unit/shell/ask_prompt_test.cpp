#include "velmora/ask_prompt.hpp"

#include <gtest/gtest.h>

#include <functional>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "../term/pty_harness.hpp"
#include "test_support.hpp"

namespace {

using namespace velmora;
namespace json = boost::json;
using velmora::events::AskPromptRequest;
using velmora::term::Fragments;

AskPromptRequest request(std::string_view questions_json, std::optional<std::string> id = "msg-1") {
  return AskPromptRequest{.message_id = std::move(id),
                          .questions = json::parse(questions_json).as_array(),
                          .message_type = "ask_message"};
}

const char* COLOURS = R"([{"question": "Colour?", "options": [{"label": "Red"}, {"label": "Blue"},
                         {"label": "Green"}]}])";
const char* THREE = R"([{"question": "A?", "options": [{"label": "a1"}, {"label": "a2"}]},
                        {"question": "B?", "options": [{"label": "b1"}]},
                        {"question": "C?", "options": [{"label": "c1"}, {"label": "c2"}]}])";

using Step = std::function<std::optional<AskAnswers>(AskPromptNavigator&)>;
Step op(void (AskPromptNavigator::*f)(int), int d) {
  return [=](AskPromptNavigator& n) -> std::optional<AskAnswers> {
    (n.*f)(d);
    return std::nullopt;
  };
}
Step op(void (AskPromptNavigator::*f)()) {
  return [=](AskPromptNavigator& n) -> std::optional<AskAnswers> {
    (n.*f)();
    return std::nullopt;
  };
}
Step type(std::string text) {
  return [=](AskPromptNavigator& n) -> std::optional<AskAnswers> {
    n.append_custom_text(text);
    return std::nullopt;
  };
}
Step enter() {
  return [](AskPromptNavigator& n) { return n.accept_current(); };
}

struct Case {
  const char* name;
  const char* questions;
  std::vector<Step> steps;
  /// JSON of the answers returned by the last step, or "none".
  std::string result;
};

TEST(AskPromptNavigator, AnswersFromKeySequences) {
  const auto up = op(&AskPromptNavigator::move_option, -1);
  const auto down = op(&AskPromptNavigator::move_option, 1);
  const auto right = op(&AskPromptNavigator::move_question, 1);
  const auto left = op(&AskPromptNavigator::move_question, -1);
  const auto tab = op(&AskPromptNavigator::toggle_custom_mode);
  const auto esc = op(&AskPromptNavigator::cancel_custom_mode);
  const auto bs = op(&AskPromptNavigator::backspace_custom_text);
  const std::vector<Case> cases = {
      {"first option by default", COLOURS, {enter()}, R"({"Colour?":"Red"})"},
      {"down selects the next option", COLOURS, {down, enter()}, R"({"Colour?":"Blue"})"},
      {"up on the first option wraps to the last",
       COLOURS,
       {up, enter()},
       R"({"Colour?":"Green"})"},
      {"free-form question with nothing typed takes the default",
       R"([{"question": "Why?"}])",
       {enter()},
       R"({"Why?":"later"})"},
      {"free-form question opens in custom mode",
       R"([{"question": "Why?"}])",
       {type("  because  "), enter()},
       R"({"Why?":"because"})"},
      {"tab, text, tab again keeps the option answer",
       COLOURS,
       {down, tab, type("teal"), tab, enter()},
       R"({"Colour?":"Blue"})"},
      {"enter in custom mode answers with the text",
       COLOURS,
       {tab, type("teal"), enter()},
       R"({"Colour?":"teal"})"},
      {"escape leaves custom mode; the option counts",
       COLOURS,
       {tab, type("x"), esc, enter()},
       R"({"Colour?":"Red"})"},
      {"backspace removes one character",
       COLOURS,
       {tab, type("tea日"), bs, enter()},
       R"({"Colour?":"tea"})"},
      {"arrows do not move options in custom mode",
       COLOURS,
       {tab, down, tab, enter()},
       R"({"Colour?":"Red"})"},
      {"not finished until every question is confirmed", THREE, {enter(), enter()}, "none"},
      {"confirming the third jumps back to the first open",
       THREE,
       {right, right, down, enter(), down, enter(), enter()},
       R"({"A?":"a2","B?":"b1","C?":"c2"})"},
      {"right on the last question wraps to the first",
       THREE,
       {right, right, right, down, enter(), enter(), enter()},
       R"({"A?":"a2","B?":"b1","C?":"c1"})"},
      {"same question text twice: one entry, the later wins",
       R"([{"question": "Q", "options": [{"label": "x"}]},
           {"question": "Q", "options": [{"label": "y"}]}])",
       {enter(), enter()},
       R"({"Q":"y"})"},
      {"questions without text are left out",
       R"([{"question": "", "options": [{"label": "x"}]}, {"options": [{"label": "y"}]}])",
       {enter(), enter()},
       "{}"},
      {"no questions: accepting answers nothing", "[]", {enter()}, "{}"},
  };
  for (const auto& c : cases) {
    AskPromptNavigator nav(request(c.questions), "later");
    std::optional<AskAnswers> last;
    for (const auto& step : c.steps) last = step(nav);
    EXPECT_EQ(last ? json::serialize(*last) : "none", c.result) << c.name;
  }
}

TEST(AskPromptNavigator, MalformedQuestionsDegradeToTextAndNoOptions) {
  const auto req = request(R"([42, {"question": 7, "options": "none"},
      {"question": "Pick", "options": [{"label": ""}, {"description": "d"}, "x", {"label": 3},
                                       {"label": "ok"}]}])");
  AskPromptNavigator nav(req, "d");
  ASSERT_EQ(nav.questions().size(), 3u);
  EXPECT_EQ(nav.questions()[0].question_text, "");
  EXPECT_TRUE(nav.questions()[0].labels.empty());
  EXPECT_EQ(nav.questions()[1].question_text, "7");
  EXPECT_TRUE(nav.questions()[1].labels.empty());
  EXPECT_EQ(nav.questions()[2].labels, (std::vector<std::string>{"3", "ok"}));
  EXPECT_TRUE(nav.custom_mode());
}

TEST(AskPromptNavigator, RenderFragments) {
  AskPromptNavigator nav(request(THREE), "later");
  nav.move_option(1);
  const Fragments expected = {
      {"class:ask-title", "Need input · msg-1\n"},
      {"class:ask-hint",
       "Use ↑↓ to choose • ←→ to switch • Enter to confirm • Tab custom answer\n\n"},
      {"class:ask-tab-current", " ● Q1 "},
      {"class:ask-tab", " ○ Q2 "},
      {"class:ask-tab", " ○ Q3 "},
      {"", "\n\n"},
      {"class:ask-question", "A?\n"},
      {"class:ask-option", "   ○ a1\n"},
      {"class:ask-option-selected", " ❯ ◉ a2\n"},
      {"", "\n"},
      {"class:ask-hint", "Tab to type a custom answer for this question\n"},
  };
  EXPECT_EQ(nav.render_fragments(), expected);

  (void)nav.accept_current();
  nav.toggle_custom_mode();
  nav.append_custom_text("mine");
  const Fragments custom = nav.render_fragments();
  EXPECT_EQ(custom[2], (velmora::term::Fragment{"class:ask-tab", " ✓ Q1 "}));
  EXPECT_EQ(custom[3], (velmora::term::Fragment{"class:ask-tab-current", " ● Q2 "}));
  EXPECT_EQ(custom[7], (velmora::term::Fragment{"class:ask-option", "   ○ b1\n"}));
  const Fragments tail(custom.end() - 5, custom.end());
  EXPECT_EQ(tail, (Fragments{{"", "\n"},
                             {"class:ask-custom-label", "Custom answer: "},
                             {"class:ask-custom-text", "mine"},
                             {"class:ask-custom-cursor", "▌"},
                             {"", "\n"}}));

  AskPromptNavigator free(request(R"([{"question": "Why?"}])", std::nullopt), "x");
  const Fragments f = free.render_fragments();
  EXPECT_EQ(f[0].text, "Need input · None\n");
  EXPECT_EQ(f[5], (velmora::term::Fragment{"class:ask-hint", " Free-form answer required\n"}));
  EXPECT_EQ(AskPromptNavigator(request("[]"), "x").render_fragments(),
            (Fragments{{"", "No questions."}}));
}

TEST(AskPromptUi, UsedOnlyForVisibleInteractiveColourTerminals) {
  velmora::testing::ScopedEnv env;
  env.unset("NO_COLOR");
  env.set("TERM", "xterm");
  const velmora::term::Console colour({.force_terminal = true, .color_system = "standard"});
  const velmora::term::Console plain({.no_color = true});
  const TerminalFacts tty{.stdin_tty = true, .stdout_tty = true, .stdout_utf8 = true};
  const TerminalFacts piped{.stdin_tty = false, .stdout_tty = true, .stdout_utf8 = true};
  const TerminalFacts ascii{.stdin_tty = true, .stdout_tty = true, .stdout_utf8 = false};
  EXPECT_TRUE(should_use_prompt_toolkit_ask_ui(colour, false, false, tty));
  EXPECT_FALSE(should_use_prompt_toolkit_ask_ui(colour, true, false, tty));
  EXPECT_FALSE(should_use_prompt_toolkit_ask_ui(colour, false, true, tty));
  EXPECT_FALSE(should_use_prompt_toolkit_ask_ui(plain, false, false, tty));
  EXPECT_FALSE(should_use_prompt_toolkit_ask_ui(colour, false, false, piped));
  EXPECT_FALSE(should_use_prompt_toolkit_ask_ui(colour, false, false, ascii));
  env.set("TERM", "dumb");
  EXPECT_FALSE(should_use_prompt_toolkit_ask_ui(colour, false, false, tty));
}

struct PanelFixture : ::testing::Test {
  boost::asio::io_context io;
  velmora::testing::Pty pty{100, 30};
  velmora::testing::VirtualTerminal vt{100, 30};
  std::unique_ptr<velmora::term::Screen> screen;
  void SetUp() override {
    velmora::term::ScreenOptions o;
    o.in_fd = pty.slave();
    o.out_fd = pty.slave();
    screen = std::make_unique<velmora::term::Screen>(io.get_executor(), o);
  }
  void sync() { vt.feed(pty.drain()); }
  void settle() {
    io.restart();
    io.run_for(std::chrono::milliseconds(80));
    sync();
  }
};

boost::asio::awaitable<void> answer(velmora::term::Screen& screen, const AskPromptRequest& req,
                                    std::optional<std::optional<AskAnswers>>& out) {
  out = co_await run_ask_panel(screen, req, "later");
}

TEST_F(PanelFixture, PanelIsDrivenByTheKeyboardAndStaysInTheScrollback) {
  const auto req = request(THREE);
  std::optional<std::optional<AskAnswers>> result;
  boost::asio::co_spawn(io, answer(*screen, req, result), boost::asio::detached);
  ASSERT_TRUE(velmora::testing::run_until(io, [&] { return screen->attached(); }));
  sync();
  EXPECT_NE(vt.row(0).find("┤ Agent asked for input ├"), std::string::npos);
  EXPECT_TRUE(vt.row(1).starts_with("│Need input · msg-1")) << vt.row(1);
  EXPECT_FALSE(vt.cursor_visible());
  EXPECT_TRUE(vt.row(7).starts_with("│ ❯ ◉ a1")) << vt.row(7);

  pty.type("\x1b[B\r");  // a2, confirm; now on B?
  settle();
  EXPECT_TRUE(vt.row(6).starts_with("│B? ")) << vt.row(6);
  pty.type("\t");
  settle();
  pty.type("own answer\x7f\r");  // custom for B?
  settle();
  pty.type("\r");  // C?: first option
  ASSERT_TRUE(velmora::testing::run_until(io, [&] { return result.has_value(); }));
  sync();
  ASSERT_TRUE(result->has_value());
  EXPECT_EQ(json::serialize(**result), R"({"A?":"a2","B?":"own answe","C?":"c1"})");
  EXPECT_NE(vt.text().find("Agent asked for input"), std::string::npos);
  EXPECT_TRUE(vt.cursor_visible());
}

TEST_F(PanelFixture, CtrlCCancelsThePanel) {
  const auto req = request(COLOURS);
  std::optional<std::optional<AskAnswers>> result;
  boost::asio::co_spawn(io, answer(*screen, req, result), boost::asio::detached);
  ASSERT_TRUE(velmora::testing::run_until(io, [&] { return screen->attached(); }));
  pty.type("\x1b[B\x03");
  ASSERT_TRUE(velmora::testing::run_until(io, [&] { return result.has_value(); }));
  EXPECT_FALSE(result->has_value());
  EXPECT_FALSE(screen->attached());
}

}  // namespace
