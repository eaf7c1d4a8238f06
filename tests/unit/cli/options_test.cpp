#include "velmora/options.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "velmora/constants.hpp"
#include "velmora/program_exit.hpp"

namespace {

using velmora::Options;
using ::testing::HasSubstr;

struct Outcome {
  std::optional<Options> options;
  int status = -1;  ///< set when parsing ended the program
  std::string out;
  std::string err;
};

Outcome parse(const std::vector<std::string>& args) {
  Outcome outcome;
  std::ostringstream out;
  std::ostringstream err;
  try {
    outcome.options = velmora::parse_args(args, out, err);
  } catch (const velmora::ProgramExit& e) {
    outcome.status = e.status();
  }
  outcome.out = out.str();
  outcome.err = err.str();
  return outcome;
}

Options parsed(const std::vector<std::string>& args) {
  auto outcome = parse(args);
  EXPECT_TRUE(outcome.options.has_value()) << outcome.err;
  return outcome.options.value_or(Options{});
}

TEST(ParseArgs, NoArgumentsIsARunWithDefaults) {
  const Options options = parsed({});
  EXPECT_EQ(options, Options{});
  EXPECT_EQ(options.command, "run");
  EXPECT_EQ(options.timeout, 1000000);
  EXPECT_FALSE(options.idle_finish_seconds.has_value());
}

TEST(ParseArgs, EveryRunOptionWorksAtTopLevelAndAfterRun) {
  struct Case {
    std::vector<std::string> args;
    std::function<void(Options&)> expect;
  };
  const std::vector<Case> cases = {
      {{"--url", "ws://h/v3"}, [](Options& o) { o.url = "ws://h/v3"; }},
      {{"--token", "t"}, [](Options& o) { o.token = "t"; }},
      {{"--user-id", "u"}, [](Options& o) { o.user_id = "u"; }},
      {{"--thread-id", "th"}, [](Options& o) { o.thread_id = "th"; }},
      {{"--language", "zh-CN"}, [](Options& o) { o.language = "zh-CN"; }},
      {{"--config", "{devevaro_account:123}"},
       [](Options& o) { o.config = "{devevaro_account:123}"; }},
      {{"--system-prompt", "be brief"}, [](Options& o) { o.system_prompt = "be brief"; }},
      {{"--query", "hi there"}, [](Options& o) { o.query = "hi there"; }},
      {{"--scenario", "s"}, [](Options& o) { o.scenario = "s"; }},
      {{"--file-api-url", "http://f"}, [](Options& o) { o.file_api_url = "http://f"; }},
      {{"--attachment", "a", "--attachment", "b"},
       [](Options& o) {
         o.attachment = {"a", "b"};
       }},
      {{"--attachments", "x, y"}, [](Options& o) { o.attachments = "x, y"; }},
      {{"--timeout", "30"}, [](Options& o) { o.timeout = 30; }},
      {{"--debug"}, [](Options& o) { o.debug = true; }},
      {{"--hide-session-details"}, [](Options& o) { o.hide_session_details = true; }},
      {{"--non-interactive"}, [](Options& o) { o.non_interactive = true; }},
      {{"--plain-output"}, [](Options& o) { o.plain_output = true; }},
      {{"--prompt-shell"}, [](Options& o) { o.prompt_shell = true; }},
      {{"--default-freeform-answer", "ok"}, [](Options& o) { o.default_freeform_answer = "ok"; }},
      {{"--idle-finish-seconds", "2.5"}, [](Options& o) { o.idle_finish_seconds = 2.5; }},
      {{"--wheel-server-url", "http://w"}, [](Options& o) { o.wheel_server_url = "http://w"; }},
      {{"--upgrade"}, [](Options& o) { o.upgrade = true; }},
      {{"--query=-starts-with-dash"}, [](Options& o) { o.query = "-starts-with-dash"; }},
      {{"--query", ""}, [](Options& o) { o.query = ""; }},
      {{"--query", "-"}, [](Options& o) { o.query = "-"; }},
      {{"--output-format", "stream-json"}, [](Options& o) { o.output_format = "stream-json"; }},
      {{"--input-format", "stream-json"}, [](Options& o) { o.input_format = "stream-json"; }},
  };
  for (const auto& c : cases) {
    Options expected;
    c.expect(expected);
    EXPECT_EQ(parsed(c.args), expected) << c.args.front();
    std::vector<std::string> after_run = {"run"};
    after_run.insert(after_run.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(parsed(after_run), expected) << "run " << c.args.front();
  }
}

TEST(ParseArgs, BothParsersFillOneRecordInCommandLineOrder) {
  const Options options = parsed({"--attachment", "a", "--query", "first", "run", "--attachment",
                                  "b", "--query", "second", "--debug"});
  EXPECT_THAT(options.attachment, ::testing::ElementsAre("a", "b"));
  EXPECT_EQ(options.query, "second");
  EXPECT_TRUE(options.debug);
  EXPECT_EQ(parsed({"--url", "one", "--url", "two"}).url, "two");
  // "run" as a value is not the sub-command.
  const Options value = parsed({"--query", "run", "--debug"});
  EXPECT_EQ(value.query, "run");
  EXPECT_TRUE(value.debug);
}

TEST(ParseArgs, AccountCommands) {
  EXPECT_EQ(parsed({"login"}).command, "login");
  EXPECT_EQ(parsed({"logout"}).command, "logout");
  const Options debug_login = parsed({"--debug", "login"});
  EXPECT_EQ(debug_login.command, "login");
  EXPECT_TRUE(debug_login.debug);
  EXPECT_FALSE(parsed({"login"}).debug);
}

TEST(ParseArgs, NumberTexts) {
  const std::vector<std::pair<std::string, std::int64_t>> timeouts = {
      {"12", 12}, {" 12 ", 12}, {"+5", 5}, {"1_000", 1000}, {"-3", -3}, {"007", 7}};
  for (const auto& [text, value] : timeouts) {
    EXPECT_EQ(parsed({"--timeout", text}).timeout, value) << text;
  }
  const std::vector<std::pair<std::string, double>> idles = {
      {"2.5", 2.5}, {"1e3", 1000.0}, {".5", 0.5}, {"3", 3.0}, {"1_0.5", 10.5}, {" 4. ", 4.0}};
  for (const auto& [text, value] : idles) {
    EXPECT_EQ(parsed({"--idle-finish-seconds", text}).idle_finish_seconds, value) << text;
  }
  EXPECT_TRUE(std::isinf(*parsed({"--idle-finish-seconds", "Infinity"}).idle_finish_seconds));
}

TEST(ParseArgs, UnparseableCommandLinesEndWithStatusTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {"--timeout", "x"},
      {"--output-format", "xml"},
      {"--input-format", "json"},
      {"--timeout", "1.5"},
      {"--timeout", "1__0"},
      {"--timeout", "_1"},
      {"--timeout", ""},
      {"--timeout", "99999999999999999999"},
      {"--idle-finish-seconds", "y"},
      {"--idle-finish-seconds", "0x10"},
      {"--idle-finish-seconds", "1.2.3"},
      {"--bogus"},
      {"--url"},
      {"stray"},
      {"login", "--debug"},
      {"logout", "--query", "x"},
      {"logout", "run"},
      {"run", "--version"},
      {"run", "run"},
  };
  for (const auto& args : cases) {
    const auto outcome = parse(args);
    const std::string shown = ::testing::PrintToString(args);
    EXPECT_EQ(outcome.status, 2) << shown;
    EXPECT_THAT(outcome.err, HasSubstr("Usage: velmora")) << shown;
    EXPECT_THAT(outcome.err, HasSubstr("velmora: error: ")) << shown;
    EXPECT_EQ(outcome.out, "") << shown;
  }
  EXPECT_THAT(parse({"--timeout", "x"}).err, HasSubstr("--timeout"));
  EXPECT_THAT(parse({"login", "--debug"}).err, HasSubstr("--debug"));
}

TEST(ParseArgs, VersionAndHelpEndWithStatusZero) {
  for (const char* flag : {"--version", "-v"}) {
    const auto outcome = parse({flag});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "velmora " + velmora::version_text() + "\n");
  }
  const auto help = parse({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* text :
       {"Agent Loop CLI for websocket streaming messages.", "Log in via browser OAuth flow.",
        "Clear saved OAuth tokens and log out.", "Start an agent session (default).",
        "Config object sent in query payload. Accepts JSON like '{\"devevaro_account\":\"123\"}' "
        "or PowerShell-friendly object text like \"{devevaro_account:123}\".",
        "One-shot mode timeout in seconds (default: 1000000).",
        "Optional scenario sent in query payload (defaults to \"keyword\")."}) {
    EXPECT_THAT(help.out, HasSubstr(text));
  }
  // The top level's help is the same whether or not the command line names `run`.
  EXPECT_EQ(parse({"--query", "run", "--help"}).out, help.out);
  const auto run_help = parse({"run", "--help"});
  EXPECT_EQ(run_help.status, 0);
  EXPECT_THAT(run_help.out, HasSubstr("--idle-finish-seconds"));
}

TEST(VersionText, ReleaseTagThenBuildVersionThenZero) {
  EXPECT_EQ(velmora::version_text("cli-v1-2-abc", "0.1.0"), "cli-v1-2-abc");
  EXPECT_EQ(velmora::version_text("", "0.1.0"), "0.1.0");
  EXPECT_EQ(velmora::version_text("", ""), "0.0.0");
  EXPECT_EQ(velmora::version_text(),
            velmora::version_text(velmora::CLI_RELEASE_TAG, velmora::CLI_BUILD_VERSION));
}

}  // namespace
