#include "velmora/terminal_mode.hpp"

#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include "test_support.hpp"

extern char** environ;

namespace {

using velmora::Options;
using velmora::TerminalFacts;
using velmora::testing::ScopedEnv;

// Every variable the decisions read, cleared so the host's own terminal does not leak in.
class TerminalModeTest : public ::testing::Test {
 protected:
  TerminalModeTest() {
    for (const char* name : {"NO_COLOR", "TERM", "TERM_PROGRAM", "WT_SESSION", "ANSICON",
                             "ConEmuANSI", "QUILLON_HIDE_SESSION_DETAILS",
                             "VELMORA_ENABLE_PROMPT_SHELL", "VELMORA_DISABLE_PROMPT_SHELL"}) {
      env_.unset(name);
    }
    std::vector<std::string> chat;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string item(*entry);
      if (item.starts_with("FEISHU_") || item.starts_with("LARK_") ||
          item.starts_with("RUNNING_IN_")) {
        chat.push_back(item.substr(0, item.find('=')));
      }
    }
    for (const auto& name : chat) env_.unset(name);
  }

  ScopedEnv env_;
};

constexpr TerminalFacts TTY{.stdin_tty = true, .stdout_tty = true, .stdout_utf8 = true};
constexpr TerminalFacts PIPED{.stdin_tty = false, .stdout_tty = false, .stdout_utf8 = true};

boost::json::object object_of(const char* json) { return boost::json::parse(json).as_object(); }

TEST(TruthyEnv, AcceptsOnlyTheFourWords) {
  const std::vector<std::pair<std::optional<std::string>, bool>> cases = {
      {" Yes ", true}, {"1", true},           {"TRUE", true},   {"on", true},
      {"2", false},    {"0", false},          {"no", false},    {"", false},
      {"y", false},    {std::nullopt, false}, {"\ton\n", true}, {"yes please", false}};
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(velmora::is_truthy_env(value), expected) << value.value_or("<absent>");
  }
}

TEST(CleanOptionalStr, TrimsAndTreatsEmptyAsAbsent) {
  EXPECT_EQ(velmora::clean_optional_str(std::string("  a b \n")), "a b");
  EXPECT_EQ(velmora::clean_optional_str(std::string(" \t ")), std::nullopt);
  EXPECT_EQ(velmora::clean_optional_str(std::nullopt), std::nullopt);
}

// A console that records the calls and answers from a script.
class FakeKernel32 final : public velmora::WindowsConsoleApi {
 public:
  std::map<int, std::optional<std::intptr_t>> handles;
  std::map<std::intptr_t, std::uint32_t> modes;
  bool set_mode_ok = true;
  bool throw_on_mode = false;
  std::vector<std::string> calls;

  std::optional<std::intptr_t> get_std_handle(int id) override {
    calls.push_back("GetStdHandle " + std::to_string(id));
    const auto it = handles.find(id);
    return it == handles.end() ? std::nullopt : it->second;
  }
  std::optional<std::uint32_t> get_console_mode(std::intptr_t handle) override {
    if (throw_on_mode) throw std::runtime_error("console gone");
    const auto it = modes.find(handle);
    if (it == modes.end()) return std::nullopt;
    return it->second;
  }
  bool set_console_mode(std::intptr_t handle, std::uint32_t mode) override {
    calls.push_back("SetConsoleMode " + std::to_string(handle) + " " + std::to_string(mode));
    if (set_mode_ok) modes[handle] = mode;
    return set_mode_ok;
  }
  bool set_console_cp(std::uint32_t cp) override {
    calls.push_back("SetConsoleCP " + std::to_string(cp));
    return false;
  }
  bool set_console_output_cp(std::uint32_t cp) override {
    calls.push_back("SetConsoleOutputCP " + std::to_string(cp));
    return true;
  }
};

TEST(WindowsVtMode, EnablesProcessedOutputAndVirtualTerminal) {
  struct Case {
    const char* name;
    std::optional<std::intptr_t> handle;
    std::optional<std::uint32_t> mode;
    bool set_ok;
    bool expected;
    std::optional<std::uint32_t> mode_after;
  };
  const std::vector<Case> cases = {
      {"no handle", std::nullopt, 3u, true, false, std::nullopt},
      {"null handle", 0, 3u, true, false, std::nullopt},
      {"invalid handle", -1, 3u, true, false, std::nullopt},
      {"not a console", 7, std::nullopt, true, false, std::nullopt},
      {"already on", 7, 0x7u, true, true, 0x7u},
      {"switched on", 7, 0x2u, true, true, 0x7u},
      {"refused", 7, 0x2u, false, false, 0x2u},
  };
  for (const auto& c : cases) {
    FakeKernel32 k;
    k.handles[-11] = c.handle;
    if (c.mode) k.modes[7] = *c.mode;
    k.set_mode_ok = c.set_ok;
    EXPECT_EQ(velmora::enable_windows_vt_mode(k, -11), c.expected) << c.name;
    if (c.mode_after) {
      EXPECT_EQ(k.modes[7], *c.mode_after) << c.name;
    }
  }
}

TEST(WindowsVtMode, AFailingConsoleCallIsNoSupport) {
  FakeKernel32 k;
  k.handles[-11] = 7;
  k.throw_on_mode = true;
  EXPECT_FALSE(velmora::enable_windows_vt_mode(k, -11));
}

TEST(ConsoleRuntime, OffWindowsOnlyTheStreamsCount) {
  FakeKernel32 k;
  auto flags = velmora::configure_console_runtime({false, true, false}, false, &k);
  EXPECT_TRUE(flags.utf8_streams_configured);
  EXPECT_FALSE(flags.vt_enabled);
  EXPECT_TRUE(k.calls.empty());
  flags = velmora::configure_console_runtime({false, false, false}, false, nullptr);
  EXPECT_FALSE(flags.utf8_streams_configured);
}

TEST(ConsoleRuntime, WindowsSetsCodePagesThenTriesOutputBeforeError) {
  FakeKernel32 k;
  k.handles[-11] = 0;  // output redirected: no console
  k.handles[-12] = 9;
  k.modes[9] = 0;
  const auto flags = velmora::configure_console_runtime({false, false, true}, true, &k);
  EXPECT_TRUE(flags.utf8_streams_configured);
  EXPECT_TRUE(flags.vt_enabled);
  EXPECT_THAT(k.calls,
              ::testing::ElementsAre("SetConsoleOutputCP 65001", "SetConsoleCP 65001",
                                     "GetStdHandle -11", "GetStdHandle -12", "SetConsoleMode 9 5"));

  FakeKernel32 first;
  first.handles[-11] = 5;
  first.modes[5] = 5;
  const auto early = velmora::configure_console_runtime({true, true, true}, true, &first);
  EXPECT_TRUE(early.vt_enabled);
  EXPECT_THAT(first.calls, ::testing::Not(::testing::Contains("GetStdHandle -12")));

  const auto no_kernel = velmora::configure_console_runtime({true, true, true}, true, nullptr);
  EXPECT_FALSE(no_kernel.vt_enabled);
}

TEST_F(TerminalModeTest, AnsiSupportFollowsTerminalNoColorAndWindowsMarkers) {
  EXPECT_TRUE(velmora::stdout_supports_ansi(TTY));
  EXPECT_FALSE(velmora::stdout_supports_ansi(PIPED));

  env_.set("NO_COLOR", "0");
  EXPECT_TRUE(velmora::stdout_supports_ansi(TTY)) << "NO_COLOR=0 keeps colour";
  env_.set("NO_COLOR", "1");
  EXPECT_FALSE(velmora::stdout_supports_ansi(TTY));
  env_.unset("NO_COLOR");

  TerminalFacts windows = TTY;
  windows.windows = true;
  EXPECT_FALSE(velmora::stdout_supports_ansi(windows));
  windows.windows_vt_enabled = true;
  EXPECT_TRUE(velmora::stdout_supports_ansi(windows));
  windows.windows_vt_enabled = false;
  env_.set("WT_SESSION", "");
  EXPECT_FALSE(velmora::stdout_supports_ansi(windows)) << "empty markers do not count";
  env_.set("ConEmuANSI", "ON");
  EXPECT_TRUE(velmora::stdout_supports_ansi(windows));
}

TEST_F(TerminalModeTest, ConsoleColourFollowsPlainOutputAndAnsiSupport) {
  struct Case {
    const char* name;
    bool plain;
    TerminalFacts facts;
    const char* no_color_env;
    bool expect_colour;
  };
  const std::vector<Case> cases = {
      {"terminal", false, TTY, nullptr, true},
      {"plain on a terminal", true, TTY, nullptr, false},
      {"piped", false, PIPED, nullptr, false},
      {"NO_COLOR", false, TTY, "1", false},
  };
  for (const auto& c : cases) {
    ScopedEnv local;
    if (c.no_color_env) local.set("NO_COLOR", c.no_color_env);
    auto sink = std::make_shared<velmora::term::StringSink>();
    auto console = velmora::build_console(c.plain, c.facts, sink);
    EXPECT_EQ(console->no_color(), !c.expect_colour) << c.name;
    EXPECT_EQ(console->force_terminal(), c.expect_colour) << c.name;
    velmora::print_console_notice(*console, "Resumed thread t-1", std::string("yellow"));
    EXPECT_EQ(sink->text().find('\x1b') != std::string::npos, c.expect_colour) << c.name;
    EXPECT_NE(sink->text().find("Resumed thread t-1"), std::string::npos) << c.name;

    // Soft wrap: a line wider than the terminal is written whole; the terminal wraps it.
    local.set("COLUMNS", "20");
    sink->clear();
    const std::string wide(60, 'w');
    velmora::print_console_notice(*console, wide);
    EXPECT_NE(sink->text().find(wide), std::string::npos) << c.name;
    EXPECT_EQ(std::count(sink->text().begin(), sink->text().end(), '\n'), 1) << c.name;
  }
}

TEST(ConsoleNotice, StyleWrapsTheTextUnlessColourIsOff) {
  auto sink = std::make_shared<velmora::term::StringSink>();
  velmora::term::Console colour({.force_terminal = true, .color_system = "standard"}, sink);
  velmora::print_console_notice(colour, "x", std::string("bold yellow"));
  EXPECT_EQ(sink->text(), "\x1b[1;33mx\x1b[0m\n");
  sink->clear();
  velmora::print_console_notice(colour, "[dim]y[/dim]");
  EXPECT_EQ(sink->text(), "\x1b[2my\x1b[0m\n");
  sink->clear();
  velmora::term::Console plain({.no_color = true}, sink);
  velmora::print_console_notice(plain, "[dim]y[/dim]", std::string("red"));
  EXPECT_EQ(sink->text(), "y\n");
}

TEST(TarnquistChannel, RecognisesTheChannelAnywhereInTheConfiguration) {
  const std::vector<std::pair<const char*, bool>> cases = {
      {R"({"channel": "Feishu"})", true},
      {R"({"CHANNEL": "LARK"})", true},
      {R"({"source_platform": "tarnquist_feishu"})", true},
      {R"({"platform": "slack"})", false},
      {R"({"source": "Tarnquist"})", true},
      {R"({"client": "tarnquist"})", true},
      {R"({"platform_name": "tarnquist-x"})", false},
      {R"({"a": [1, {"b": ["x", "tarnquist:lark"]}]})", true},
      {R"({"note": "via channel:feishu"})", true},
      {R"({"note": "TARNQUIST channel"})", true},
      {R"({"note": "tarnquist"})", false},
      {R"({"note": "feishu"})", false},
      {R"({"channel": 1, "n": null, "t": true})", false},
      {R"({"devevaro_account": "123"})", false},
      {R"({})", false},
  };
  for (const auto& [json, expected] : cases) {
    EXPECT_EQ(velmora::config_indicates_tarnquist_feishu(boost::json::parse(json)), expected)
        << json;
  }
  EXPECT_FALSE(velmora::config_indicates_tarnquist_feishu(std::optional<boost::json::object>{}));
  EXPECT_TRUE(velmora::config_indicates_tarnquist_feishu(boost::json::value("tarnquist/lark")));
  EXPECT_TRUE(
      velmora::config_indicates_tarnquist_feishu(boost::json::parse(R"(["x", "channel:FEISHU"])")));
}

TEST(TarnquistChannel, DeepNestingEndsWithoutOverflow) {
  boost::json::value v = "tarnquist:feishu";
  for (int i = 0; i < 100000; ++i) {
    boost::json::array a;
    a.push_back(std::move(v));
    v = std::move(a);
  }
  EXPECT_FALSE(velmora::config_indicates_tarnquist_feishu(v));
  // Destroy iteratively: the default destructor would recurse as deep as the nesting.
  while (v.is_array() && !v.as_array().empty()) {
    boost::json::value inner = std::move(v.as_array()[0]);
    v = std::move(inner);
  }
}

TEST_F(TerminalModeTest, FeishuChannelMakesEveryGatewayDecision) {
  const auto config = object_of(R"({"channel": "FeiShu"})");
  Options args;
  EXPECT_TRUE(velmora::should_use_plain_output(args, config, TTY));
  EXPECT_TRUE(velmora::should_use_non_interactive(args, config, TTY));
  EXPECT_TRUE(velmora::should_hide_session_details(args, config));
  EXPECT_FALSE(velmora::should_use_plain_output(args, std::nullopt, TTY));
  EXPECT_FALSE(velmora::should_use_non_interactive(args, std::nullopt, TTY));
  EXPECT_FALSE(velmora::should_hide_session_details(args, std::nullopt));
}

TEST_F(TerminalModeTest, SessionDetailsHiddenByOptionSwitchOrChatMarkers) {
  Options hidden;
  hidden.hide_session_details = true;
  EXPECT_TRUE(velmora::should_hide_session_details(hidden, std::nullopt));

  const std::vector<std::pair<const char*, const char*>> cases = {
      {"QUILLON_HIDE_SESSION_DETAILS", "yes"},
      {"RUNNING_IN_LARK", "1"},
      {"FEISHU_WEBHOOK", "https://hook"},
      {"FEISHU_SOMETHING_ELSE", "x"},
      {"LARK_TENANT", "t"}};
  for (const auto& [name, value] : cases) {
    ScopedEnv local;
    local.set(name, value);
    EXPECT_TRUE(velmora::should_hide_session_details(Options{}, std::nullopt)) << name;
  }
  for (const auto& [name, value] :
       std::vector<std::pair<const char*, const char*>>{{"QUILLON_HIDE_SESSION_DETAILS", "0"},
                                                        {"FEISHU_APP_ID", ""},
                                                        {"LARK_X", ""},
                                                        {"MY_FEISHU_ID", "1"}}) {
    ScopedEnv local;
    local.set(name, value);
    EXPECT_FALSE(velmora::should_hide_session_details(Options{}, std::nullopt)) << name;
  }
}

TEST_F(TerminalModeTest, PromptShellRules) {
  Options asked;
  asked.prompt_shell = true;
  EXPECT_TRUE(velmora::should_use_prompt_shell(Options{}, TTY));
  EXPECT_FALSE(velmora::should_use_prompt_shell(Options{}, PIPED));
  EXPECT_TRUE(velmora::should_use_prompt_shell(asked, PIPED)) << "the option wins over detection";

  TerminalFacts no_unicode = TTY;
  no_unicode.stdout_utf8 = false;
  EXPECT_FALSE(velmora::should_use_prompt_shell(Options{}, no_unicode));

  {
    ScopedEnv local;
    local.set("NO_COLOR", "1");
    EXPECT_FALSE(velmora::should_use_prompt_shell(Options{}, TTY));
  }
  {
    ScopedEnv local;
    local.set("TERM", "dumb");
    EXPECT_FALSE(velmora::should_use_prompt_shell(Options{}, TTY));
  }
  {
    ScopedEnv local;
    local.set("VELMORA_ENABLE_PROMPT_SHELL", "on");
    EXPECT_TRUE(velmora::should_use_prompt_shell(Options{}, PIPED));
  }
  {
    ScopedEnv local;
    local.set("VELMORA_DISABLE_PROMPT_SHELL", "1");
    local.set("VELMORA_ENABLE_PROMPT_SHELL", "1");
    EXPECT_FALSE(velmora::should_use_prompt_shell(asked, TTY));
  }
}

TEST_F(TerminalModeTest, NonInteractiveAndPlainOutputRules) {
  Options one_shot;
  one_shot.query = "hello";
  Options blank_query;
  blank_query.query = "   ";
  Options forced;
  forced.non_interactive = true;
  forced.plain_output = true;

  EXPECT_TRUE(velmora::should_use_non_interactive(one_shot, std::nullopt, TTY));
  EXPECT_FALSE(velmora::should_use_non_interactive(blank_query, std::nullopt, TTY));
  EXPECT_TRUE(velmora::should_use_non_interactive(forced, std::nullopt, TTY));
  EXPECT_TRUE(velmora::should_use_non_interactive(Options{}, std::nullopt, PIPED));

  TerminalFacts piped_out = TTY;
  piped_out.stdout_tty = false;
  TerminalFacts closed_out = TTY;
  closed_out.stdout_utf8 = false;
  EXPECT_TRUE(velmora::should_use_plain_output(forced, std::nullopt, TTY));
  EXPECT_TRUE(velmora::should_use_plain_output(Options{}, std::nullopt, piped_out));
  EXPECT_TRUE(velmora::should_use_plain_output(Options{}, std::nullopt, closed_out));
  EXPECT_FALSE(velmora::should_use_plain_output(one_shot, std::nullopt, TTY));
}

TEST(RenderProfile, PlainOutputIsTheImProfile) {
  EXPECT_EQ(velmora::resolve_render_profile(true), "im");
  EXPECT_EQ(velmora::resolve_render_profile(false), "terminal");
}

}  // namespace
